// The page's timers: the 10 ms tick, the core's pauses and the waits for the device. A hidden
// page's own timers fire at most once a second in Chromium, and after some minutes hidden at
// most once a minute, which would stretch an update from seconds to hours when the user
// looks at another tab. A dedicated worker's timers keep their pace, and its messages reach
// the page at once, hidden or not: the timers are kept there, and each one that fires calls
// its callback on the page (where WebHID is). Without workers, the page's own timers do.
Module.pageClock = (() => {
  // The worker's whole program: starts and stops timers by the page's numbers, and posts the
  // number of each one that fires.
  function workerMain() {
    const timers = new Map();
    onmessage = ({ data }) => {
      if (data.cancel) {
        clearTimeout(timers.get(data.cancel));  // clears an interval as well
        timers.delete(data.cancel);
      } else if (data.repeat) {
        timers.set(data.id, setInterval(() => postMessage(data.id), data.ms));
      } else {
        const once = () => { timers.delete(data.id); postMessage(data.id); };
        timers.set(data.id, setTimeout(once, data.ms));
      }
    };
  }

  const callbacks = new Map();  // number -> { fn, repeat, ms, local }; local: a page timer
  let nextId = 1;
  let worker = null;

  function fire(id) {
    const entry = callbacks.get(id);
    if (!entry) return;  // cancelled after the worker had posted it
    if (!entry.repeat) callbacks.delete(id);
    entry.fn();
  }

  function startLocal(id, entry) {
    entry.local = (entry.repeat ? setInterval : setTimeout)(() => fire(id), entry.ms);
  }

  function withoutWorker(why) {
    console.warn('no clock worker, timers slow down while the page is hidden: ' + why);
    worker = null;
    callbacks.forEach((entry, id) => startLocal(id, entry));
  }

  try {
    const source = new Blob(['(' + workerMain.toString() + ')();'], { type: 'text/javascript' });
    worker = new Worker(URL.createObjectURL(source));
    worker.onmessage = (event) => fire(event.data);
    // A worker the page may not start (a server's Content-Security-Policy without blob: for
    // workers) fails after its creation, not in it: the timers it was given move to the page,
    // or the tick would never come.
    worker.onerror = (event) => withoutWorker(event.message || 'the worker did not start');
  } catch (e) {
    withoutWorker(e.message);
  }

  function start(ms, fn, repeat) {
    const id = nextId++;
    const entry = { fn, repeat, ms, local: 0 };
    callbacks.set(id, entry);
    if (worker) {
      worker.postMessage({ id, ms, repeat });
    } else {
      startLocal(id, entry);
    }
    return id;
  }

  return {
    // Calls `fn` once after `ms`; returns a number for cancel().
    after(ms, fn) { return start(ms, fn, false); },
    // Calls `fn` every `ms` until cancelled; returns a number for cancel().
    every(ms, fn) { return start(ms, fn, true); },
    cancel(id) {
      const entry = callbacks.get(id);
      if (!entry) return;
      callbacks.delete(id);
      if (worker) {
        worker.postMessage({ cancel: id });
      } else {
        clearTimeout(entry.local);
      }
    },
    sleep(ms) { return new Promise((resolve) => start(ms, resolve, false)); },
  };
})();
