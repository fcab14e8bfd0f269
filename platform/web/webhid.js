// WebHID underneath the core's HID access (webhid_access.cpp). Keeps the devices this origin
// may use, opens each as the page learns of it, numbers them for their paths, and gives the
// core handles with their own queue of input reports.
Module.webhid = (() => {
  const VENDOR = 0x5a7e;
  const PRODUCTS = [0xc3d1, 0x7b16];
  const FILTERS = PRODUCTS.map((productId) => ({ vendorId: VENDOR, productId }));
  const OPEN_TIMEOUT_MS = 5000;

  const numbers = new WeakMap();  // HIDDevice -> the page's number for it
  let nextNumber = 1;
  const present = new Map();      // number -> HIDDevice, in the order the page learnt of them
  const handles = new Map();      // handle -> { device, queue, capacity, waiter }
  const listening = new WeakSet(); // devices whose input reports reach onInputReport
  let nextHandle = 1;

  function numberOf(device) {
    if (!numbers.has(device)) numbers.set(device, nextNumber++);
    return numbers.get(device);
  }

  // Settles with the promise, or rejects with a TimeoutError after `ms` (on the page's clock,
  // which keeps time while the page is hidden).
  function within(promise, ms) {
    let timer;
    const timeout = new Promise((_, reject) => {
      const late = () => reject(new DOMException('no answer in ' + ms + ' ms', 'TimeoutError'));
      timer = Module.pageClock.after(ms, late);
    });
    return Promise.race([promise, timeout]).finally(() => Module.pageClock.cancel(timer));
  }

  function wake(entry, ok) {
    const waiter = entry.waiter;
    entry.waiter = null;
    if (waiter) waiter(ok);
  }

  function onInputReport(event) {
    for (const entry of handles.values()) {
      if (entry.device !== event.target) continue;
      if (entry.waiter) { wake(entry, true); continue; }
      entry.queue.push(event.reportId);
      // Full: the oldest report goes, as the HID driver's ring does.
      while (entry.queue.length > entry.capacity) entry.queue.shift();
    }
  }

  function matches(device) {
    return device.vendorId === VENDOR && PRODUCTS.includes(device.productId);
  }

  // A device this page may use: open it now, so that the core's Open answers at once. A
  // device that cannot be opened is still listed; the core's Open then fails for it.
  async function adopt(device) {
    if (!matches(device)) return false;
    present.set(numberOf(device), device);
    if (!device.opened) {
      try {
        await within(device.open(), OPEN_TIMEOUT_MS);
      } catch (e) {
        console.warn('cannot open ' + device.productName + ': ' + e);
      }
    }
    if (!listening.has(device)) {
      device.addEventListener('inputreport', onInputReport);
      listening.add(device);
    }
    return true;
  }

  function forget(device) {
    present.delete(numberOf(device));
    for (const entry of handles.values()) {
      if (entry.device === device) wake(entry, false);
    }
  }

  return {
    FILTERS,
    within,
    adopt,
    forget,
    matches,

    // The devices present, granted and matching, as [number, vendor, product] triples.
    snapshot(out, max) {
      let count = 0;
      for (const number of present.keys()) {
        if (count === max) break;
        const device = present.get(number);
        HEAPU32.set([number, device.vendorId, device.productId], (out >> 2) + 3 * count);
        count++;
      }
      return count;
    },

    open(number) {
      const device = present.get(number);
      if (!device || !device.opened) return 0;
      const handle = nextHandle++;
      handles.set(handle, { device, queue: [], capacity: 1, waiter: null });
      return handle;
    },

    setInputBuffers(handle, count) {
      const entry = handles.get(handle);
      if (!entry || count < 1) return false;
      entry.capacity = count;
      return true;
    },

    // The HID description could be read: the device told its report collections.
    probe(handle) {
      const entry = handles.get(handle);
      return !!entry && entry.device.opened && entry.device.collections.length > 0;
    },

    close(handle) {
      const entry = handles.get(handle);
      if (!entry) return;
      wake(entry, false);
      handles.delete(handle);
    },

    // One whole report: byte 0 is the report ID, the rest goes as the report's data.
    async write(handle, report, timeoutMs) {
      const entry = handles.get(handle);
      if (!entry || !entry.device.opened) return false;
      try {
        await within(entry.device.sendReport(report[0], report.subarray(1)), timeoutMs);
        return true;
      } catch (e) {
        console.warn('report not sent: ' + e.name + ': ' + e.message);
        return false;
      }
    },

    // The next input report, one that is queued or the first to come within `timeoutMs`.
    async read(handle, timeoutMs) {
      const entry = handles.get(handle);
      if (!entry || !entry.device.opened) return false;
      if (entry.queue.length > 0) {
        entry.queue.shift();
        return true;
      }
      const arrived = new Promise((resolve) => { entry.waiter = resolve; });
      try {
        return await within(arrived, timeoutMs);
      } catch (e) {
        entry.waiter = null;
        console.warn('no reply: ' + e.message);
        return false;
      }
    },
  };
})();
