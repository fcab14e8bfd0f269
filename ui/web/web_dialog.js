// The dialog's controls as HTML elements, laid out from the template in dialog units converted
// with the dialog font's metrics, as the Windows dialog manager does; the message boxes and the
// yes/no question as modal <dialog> elements; the screen wake lock and the line that says an
// update goes on in the background; the loading line until the window is shown.
Module.pageView = (() => {
  // Faces that stand in where the template's fonts are missing, as the Qt dialog takes them.
  const SUBSTITUTES = {
    'MS Shell Dlg': ['MS Shell Dlg', 'Tahoma', 'Liberation Sans', 'Arial', 'DejaVu Sans', 'sans-serif'],
    'Arial': ['Arial', 'Liberation Sans', 'Arimo', 'DejaVu Sans', 'sans-serif'],
  };
  const KIND = ['groupbox', 'pushbutton', 'static', 'progress'];  // dialog::ControlKind

  let client = null;
  let units = { x: 0, y: 0 };
  let labelFont = '';
  const controls = new Map();  // template name -> element

  function family(face) {
    return (SUBSTITUTES[face] || [face, 'sans-serif'])
      .map((f) => (f.includes(' ') ? '"' + f + '"' : f)).join(', ');
  }

  // CSS pixels of a font of `points` (96 per inch, as the screen the template was made for).
  function pointsToPixels(points) { return mulDiv(points, 96, 72); }

  // a * b / c rounded half away from zero, as Windows' MulDiv.
  function mulDiv(a, b, c) {
    const p = a * b;
    return Math.sign(p) * Math.sign(c) * Math.floor((Math.abs(p) + Math.floor(Math.abs(c) / 2)) / Math.abs(c));
  }

  // The horizontal base unit is the font's average width of the 52 Latin letters, rounded; the
  // vertical one its character height.
  function baseUnits(font) {
    const ctx = document.createElement('canvas').getContext('2d');
    ctx.font = font;
    const m = ctx.measureText('ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz');
    const width = Math.round(m.width);
    return {
      x: Math.floor((Math.floor(width / 26) + 1) / 2),
      y: Math.round(m.fontBoundingBoxAscent) + Math.round(m.fontBoundingBoxDescent),
    };
  }

  function place(el, x, y, cx, cy) {
    el.style.left = mulDiv(x, units.x, 4) + 'px';
    el.style.top = mulDiv(y, units.y, 8) + 'px';
    el.style.width = mulDiv(cx, units.x, 4) + 'px';
    el.style.height = mulDiv(cy, units.y, 8) + 'px';
  }

  function cssColor(colorref) {
    const r = colorref & 0xff, g = (colorref >> 8) & 0xff, b = (colorref >> 16) & 0xff;
    return 'rgb(' + r + ', ' + g + ', ' + b + ')';
  }

  function textTarget(el) {
    return el.querySelector('legend') || el;
  }

  function closeBox(dialog, resolve, value) {
    dialog.close();
    dialog.remove();
    resolve(value);
  }

  function makeBox(caption, text, icon) {
    const dialog = document.createElement('dialog');
    dialog.className = 'box';
    const title = document.createElement('div');
    title.className = 'box-caption';
    title.textContent = caption;
    const body = document.createElement('div');
    body.className = 'box-body';
    if (icon) {
      const img = document.createElement('div');
      img.className = 'box-icon ' + icon;
      img.setAttribute('role', 'img');
      img.setAttribute('aria-label', icon);
      body.append(img);
    }
    const message = document.createElement('p');
    message.className = 'box-text';
    message.textContent = text;
    body.append(message);
    const buttons = document.createElement('div');
    buttons.className = 'box-buttons';
    dialog.append(title, body, buttons);
    document.body.append(dialog);
    return { dialog, buttons };
  }

  function button(label, id) {
    const b = document.createElement('button');
    b.type = 'button';
    b.textContent = label;
    b.id = id;
    return b;
  }

  let wakeLock = null;
  let wantLock = false;

  return {
    frame(title, widthDu, heightDu, face, points, labelFace, labelPoints) {
      document.title = title;
      document.getElementById('IDD_MAIN_DIALOG_CAPTION').textContent = title;
      client = document.getElementById('IDD_MAIN_DIALOG');
      const font = pointsToPixels(points) + 'px ' + family(face);
      client.style.font = font;
      units = baseUnits(font);
      client.style.width = mulDiv(widthDu, units.x, 4) + 'px';
      client.style.height = mulDiv(heightDu, units.y, 8) + 'px';
      // 9-point Arial: dpi * 90 / 720 pixels high.
      labelFont = mulDiv(96, labelPoints * 10, 720) + 'px ' + family(labelFace);
    },

    addControl(name, kind, text, x, y, cx, cy, color) {
      let el;
      switch (KIND[kind]) {
        case 'groupbox': {
          el = document.createElement('fieldset');
          const legend = document.createElement('legend');
          legend.textContent = text;
          el.append(legend);
          break;
        }
        case 'pushbutton':
          el = button(text, name);
          el.addEventListener('click', () => Module.lumoLoop.clickUpdate());
          break;
        case 'progress':
          el = document.createElement('progress');
          el.max = 100;
          el.value = 0;
          break;
        default:
          el = document.createElement('div');
          el.textContent = text;
      }
      el.id = name;
      el.classList.add('control', KIND[kind]);
      place(el, x, y, cx, cy);
      if (color >= 0) {
        textTarget(el).style.color = cssColor(color);
        el.style.font = labelFont;
      }
      client.append(el);
      controls.set(name, el);
    },

    // The window, once the core has started: until then the loading line stands in its place,
    // and the template's placeholders are never seen.
    show() {
      document.getElementById('LOADING').hidden = true;
      document.querySelector('.window').hidden = false;
      document.querySelector('.outside').hidden = false;
    },

    // While an update runs: the wake lock, and the line that says it goes on in another tab.
    updateRunning(running) {
      document.getElementById('BACKGROUND_NOTE').hidden = !running;
      this.wakeLock(running);
    },

    setText(name, text) { textTarget(controls.get(name)).textContent = text; },
    setColor(name, color) { textTarget(controls.get(name)).style.color = color >= 0 ? cssColor(color) : ''; },
    setProgress(position) { controls.get('IDC_PROGRESS').value = position; },
    enable(name, on) { controls.get(name).disabled = !on; },
    focusUpdate() { controls.get('IDC_UPDATE').focus(); },

    // A modal box with one OK button; settles when it is closed.
    box(caption, text, warning) {
      return new Promise((resolve) => {
        const { dialog, buttons } = makeBox(caption, text, warning ? 'warning' : null);
        const ok = button('OK', 'BOX_OK');
        ok.addEventListener('click', () => closeBox(dialog, resolve, true));
        dialog.addEventListener('cancel', (e) => { e.preventDefault(); closeBox(dialog, resolve, true); });
        buttons.append(ok);
        dialog.showModal();
        ok.focus();
      });
    },

    // Yes and No, No the default (focused, and what Escape answers); settles with the answer.
    ask(caption, text) {
      return new Promise((resolve) => {
        const { dialog, buttons } = makeBox(caption, text, 'question');
        const yes = button('Yes', 'BOX_YES');
        const no = button('No', 'BOX_NO');
        yes.addEventListener('click', () => closeBox(dialog, resolve, true));
        no.addEventListener('click', () => closeBox(dialog, resolve, false));
        dialog.addEventListener('cancel', (e) => { e.preventDefault(); closeBox(dialog, resolve, false); });
        buttons.append(yes, no);
        dialog.showModal();
        no.focus();
      });
    },

    // Held while an update is under way, where the browser offers one; the browser drops it
    // when the page is hidden, so it is asked for again when the page shows.
    wakeLock(hold) {
      wantLock = hold;
      if (!hold) {
        if (wakeLock) wakeLock.release().catch(() => {});
        wakeLock = null;
        return;
      }
      if (wakeLock || !('wakeLock' in navigator)) return;
      navigator.wakeLock.request('screen').then((lock) => {
        if (!wantLock) { lock.release().catch(() => {}); return; }
        wakeLock = lock;
        lock.addEventListener('release', () => { if (wakeLock === lock) wakeLock = null; });
      }).catch((e) => console.warn('no wake lock: ' + e.message));
    },

    wakeLockWanted() { return wantLock; },
    wakeLockHeld() { return wakeLock !== null; },
  };
})();

document.addEventListener('visibilitychange', () => {
  if (document.visibilityState === 'visible' && Module.pageView.wakeLockWanted()) {
    Module.pageView.wakeLock(true);
  }
});
