// The page's event loop around the core: the 10 ms tick (from the page's clock, which keeps
// its pace while the page is hidden), device changes from WebHID, the Update click and the
// "Connect device" button, one at a time, as a dialog's message loop hands them to its
// handlers.
//
// A call into the core may suspend (Asyncify) while it awaits a device call, a pause or a box.
// While it awaits a device call or a pause, nothing else reaches the core: a tick that comes
// meanwhile is skipped, as a window gets no new timer message while its handler runs, and
// device changes and clicks wait in a queue. As with a window's timer, ticks do not pile up:
// once the call has returned and the queue is empty, one tick runs for all that were skipped.
// While it awaits a box, ticks and device changes still reach it, as in a box's own message
// loop; such a nested call must not suspend, and the core's platform side sees to that
// (mayAwait).
Module.lumoLoop = (() => {
  const ARRIVAL = 0x8000;          // DBT_DEVICEARRIVAL
  const REMOVE_COMPLETE = 0x8004;  // DBT_DEVICEREMOVECOMPLETE
  const TICK_MS = 10;

  let page = 0;            // the core's page object
  let started = false;     // the core's start has run; ticks flow
  let depth = 0;           // calls into the core under way, a suspended one included
  let boxOpen = false;     // the outermost call waits for a box to be closed
  let holdUntil = 0;       // a pause asked for in a nested call holds events off until then
  let tickDue = false;     // a tick was skipped while the core was busy
  const queue = [];        // device changes and clicks waiting for the core
  const stats = { ticks: 0, skipped: 0 };

  function free() { return depth === 0 && performance.now() >= holdUntil; }
  function nestable() { return depth === 1 && boxOpen && performance.now() >= holdUntil; }

  // Runs one handler of the core; settles when it has returned, after any suspension.
  function run(handler) {
    const outermost = depth === 0;
    depth++;
    try {
      handler();
    } catch (e) {
      depth--;
      throw e;
    }
    if (outermost && Asyncify.currData) {
      return Asyncify.whenDone().then(() => { depth--; drain(); });
    }
    depth--;
    if (outermost) drain();
    return Promise.resolve();
  }

  function drain() {
    while (started && free() && queue.length > 0) run(queue.shift());
    if (started && tickDue && free()) {
      tickDue = false;
      runTick();
    }
  }

  function runTick() {
    stats.ticks++;
    run(() => Module._lumo_web_timer(page));
  }

  // A device change or a click: now if the core is free, else in turn.
  function post(handler, inBoxLoop) {
    if (started && queue.length === 0 && (free() || (inBoxLoop && nestable()))) {
      run(handler);
    } else {
      queue.push(handler);
    }
  }

  function tick() {
    if (free()) {
      tickDue = false;
      drain();
      if (depth === 0) {
        runTick();
        return;
      }
    } else if (nestable()) {
      runTick();
      return;
    }
    stats.skipped++;
    tickDue = true;
  }

  function deviceChange(event) {
    post(() => Module._lumo_web_device_change(page, event), true);
  }

  async function onConnect(event) {
    if (await Module.webhid.adopt(event.device)) deviceChange(ARRIVAL);
  }

  function onDisconnect(event) {
    if (!Module.webhid.matches(event.device)) return;
    Module.webhid.forget(event.device);
    deviceChange(REMOVE_COMPLETE);
  }

  // The one user gesture WebHID asks for: the browser's chooser, filtered to both products.
  async function connectDevice() {
    let chosen = [];
    try {
      chosen = await navigator.hid.requestDevice({ filters: Module.webhid.FILTERS });
    } catch (e) {
      console.warn('no device chosen: ' + e.message);
    }
    for (const device of chosen) {
      if (await Module.webhid.adopt(device)) deviceChange(ARRIVAL);
    }
  }

  async function begin(pagePointer) {
    page = pagePointer;
    const connect = document.getElementById('CONNECT_DEVICE');
    if ('hid' in navigator) {
      navigator.hid.addEventListener('connect', onConnect);
      navigator.hid.addEventListener('disconnect', onDisconnect);
      connect.addEventListener('click', connectDevice);
      // Devices granted earlier, by a visit or by policy: found without a click.
      try {
        const granted = await Module.webhid.within(navigator.hid.getDevices(), 5000);
        for (const device of granted) await Module.webhid.adopt(device);
      } catch (e) {
        console.warn('cannot list devices: ' + e.message);
      }
    } else {
      connect.disabled = true;
      document.getElementById('NO_WEBHID').hidden = false;
    }
    await run(() => Module._lumo_web_start(page));
    started = true;
    Module.pageClock.every(TICK_MS, tick);
    Module.pageView.show();
    Module.pageView.focusUpdate();
    drain();
    document.body.dataset.ready = '1';
  }

  // Leaving or reloading the page ends an update half-way: the browser asks first.
  window.addEventListener('beforeunload', (event) => {
    if (page && Module._lumo_web_is_updating(page)) {
      event.preventDefault();
      event.returnValue = '';
    }
  });

  return {
    begin,
    stats,
    clickUpdate() { post(() => Module._lumo_web_click_update(page), false); },
    // Only the outermost call may suspend.
    mayAwait() { return depth === 1; },
    inBox(promise) {
      boxOpen = true;
      return promise.finally(() => { boxOpen = false; });
    },
    holdOff(ms) { holdUntil = Math.max(holdUntil, performance.now() + ms); },
  };
})();
