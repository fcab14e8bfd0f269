// One writer per unit in the browser: an update holds a Web Lock from its start to its end, so
// a second tab (or window) of the page cannot interleave its reports with ours. WebHID tells no
// unit apart from another across tabs (each tab numbers its devices itself), so the lock
// covers every Orvel-M8 this browser profile may use: one update at a time.
Module.webLocks = (() => {
  const NAME = 'orvel-m8-update';
  let release = null;  // resolves the promise that holds the lock

  return {
    // Whether the lock was granted; false at once when another tab holds it.
    async claim() {
      if (release) return true;
      if (!navigator.locks) {
        console.warn('no Web Locks in this browser: a second tab is not kept out');
        return true;
      }
      return new Promise((granted) => {
        navigator.locks.request(NAME, { ifAvailable: true }, (lock) => {
          if (!lock) { granted(false); return null; }
          granted(true);
          return new Promise((resolve) => { release = resolve; });
        }).catch((e) => { console.warn('no lock: ' + e); granted(false); });
      });
    },

    drop() {
      const r = release;
      release = null;
      if (r) r();
    },
  };
})();
