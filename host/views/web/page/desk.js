// The live desk of lumhost. The server pushes what changed over one
// WebSocket, at most 30 times a second; key presses go back as requests of
// their own. Texts from clients (identities, the trace) are shown with
// textContent only, never parsed as HTML.
'use strict';

(function () {
  // The token came in the address; the server has handed it over as a
  // cookie, so it need not stay in the address bar or the history.
  if (new URLSearchParams(location.search).has('token')) {
    history.replaceState(null, '', location.pathname);
  }
  const kTraceLines = 200;
  const el = (id) => document.getElementById(id);
  const status = el('status');
  const keysByLed = new Map();    // "device-led" -> key
  const keysByLabel = new Map();  // lower-case label -> key
  let ledIds = [];                // per device, LED ids in the order of the colours
  let shown = [];                 // per device, the colour texts shown
  let pushes = 0;

  function setStatus(text, live) {
    status.textContent = text;
    status.className = live ? 'live' : 'offline';
  }

  function ledRect(device, led) {
    return document.getElementById('led-' + device + '-' + led);
  }

  // Dark label text on bright LEDs, as the SVG snapshot draws it.
  function labelColor(hex) {
    const v = parseInt(hex, 16);
    const lum = 0.299 * (v >> 16) + 0.587 * ((v >> 8) & 255) + 0.114 * (v & 255);
    return lum > 140 ? '#000000' : '#d8d8d8';
  }

  function applyDesk(desk) {
    ledIds = desk.leds;
    shown = ledIds.map((ids) => new Array(ids.length).fill(''));
    keysByLed.clear();
    keysByLabel.clear();
    for (const key of desk.keys) {
      keysByLed.set(key.d + '-' + key.led, key);
      if (key.label) keysByLabel.set(key.label.toLowerCase(), key);
      const rect = ledRect(key.d, key.led);
      if (rect) {
        rect.classList.add('key');
        rect.dataset.vendorKey = key.vendorKey;
      }
    }
  }

  function applyColors(colors) {
    colors.forEach((text, d) => {
      const ids = ledIds[d] || [];
      for (let i = 0; i < ids.length; ++i) {
        const hex = text.substr(i * 6, 6);
        if (hex.length !== 6 || shown[d][i] === hex) continue;
        shown[d][i] = hex;
        const rect = ledRect(d, ids[i]);
        if (!rect) continue;
        rect.setAttribute('fill', '#' + hex);
        const label = rect.nextElementSibling;
        if (label && label.tagName === 'text') label.setAttribute('fill', labelColor(hex));
      }
    });
  }

  function cell(row, text, className) {
    const td = row.insertCell();
    td.textContent = text;
    if (className) {
      td.className = className;
      td.title = text;
    }
  }

  function applyClients(clients, control) {
    const body = el('clients').tBodies[0];
    body.replaceChildren();
    for (const c of clients) {
      const row = body.insertRow();
      if (c.control) row.className = 'holder';
      cell(row, c.name + (c.control ? ' (control)' : ''));
      cell(row, c.identity, 'identity');
      cell(row, String(c.priority));
      cell(row, String(c.ledsSet));
      cell(row, String(c.requests));
      cell(row, c.registered ? 'yes' : '');
    }
    el('client-count').textContent = String(clients.length);
    const holder = clients.find((c) => c.id === control);
    const text = control === 0 ? 'nobody holds exclusive control'
                               : (holder ? holder.name : 'client-' + control) +
                                     ' holds exclusive control: only its colours show';
    el('control').textContent = text;
    el('control').className = control === 0 ? '' : 'held';
  }

  function applyTraffic(lines) {
    const list = el('trace');
    for (const line of lines) {
      const item = document.createElement('li');
      const time = document.createElement('time');
      time.textContent = line.time;
      item.append(time, line.text);
      item.title = line.text;
      list.append(item);
    }
    while (list.children.length > kTraceLines) list.firstElementChild.remove();
    if (el('follow').checked) list.scrollTop = list.scrollHeight;
  }

  function onMessage(event) {
    const m = JSON.parse(event.data);
    if (m.reload) {
      // lumhost serves another desk: its picture comes with the page.
      location.reload();
      return;
    }
    ++pushes;
    document.body.dataset.pushes = String(pushes);
    if (m.desk) applyDesk(m.desk);
    if (m.colors) applyColors(m.colors);
    if (m.clients) applyClients(m.clients, m.control);
    if (m.traffic) applyTraffic(m.traffic);
    document.body.dataset.ready = 'true';
  }

  function connect() {
    const socket = new WebSocket('ws://' + location.host + '/live');
    socket.onopen = () => setStatus('live', true);
    socket.onmessage = onMessage;
    socket.onclose = () => {
      setStatus('no connection to lumhost; retrying', false);
      setTimeout(connect, 1000);
    };
  }

  // --- Key presses: from the mouse, and from the keyboard while the page
  // has the focus.
  const held = new Map();  // "device-led" -> key, while pressed from here

  function send(key, pressed) {
    const id = key.d + '-' + key.led;
    if (pressed === held.has(id)) return;  // no second press, no stray release
    if (pressed) {
      held.set(id, key);
    } else {
      held.delete(id);
    }
    const rect = ledRect(key.d, key.led);
    if (rect) rect.classList.toggle('pressed', pressed);
    fetch('/api/key', {
      method: 'POST',
      headers: {'Content-Type': 'application/json'},
      body: JSON.stringify({device: key.d, led: key.led, pressed: pressed}),
    }).catch(() => setStatus('a key press did not reach lumhost', false));
  }

  function releaseAll() {
    for (const key of Array.from(held.values())) send(key, false);
    pointerKey = null;
  }

  const desk = el('desk');
  let pointerKey = null;  // the key the mouse holds down
  desk.addEventListener('pointerdown', (event) => {
    if (event.button !== 0 || pointerKey) return;
    const rect = event.target.closest('rect.key');
    const key = rect && keysByLed.get(rect.id.slice(4));
    if (!key) return;
    event.preventDefault();
    desk.setPointerCapture(event.pointerId);
    pointerKey = key;
    send(key, true);
  });
  const pointerUp = () => {
    if (pointerKey) send(pointerKey, false);
    pointerKey = null;
  };
  desk.addEventListener('pointerup', pointerUp);
  desk.addEventListener('pointercancel', pointerUp);

  // Physical keys by their code, to the labels of the built-in desk; other
  // profiles' labels are found by the key's text.
  const kCodeLabels = {
    Escape: 'Esc', Backquote: '`', Minus: '-', Equal: '=', BracketLeft: '[', BracketRight: ']',
    Backslash: 'Backslash', Semicolon: ';', Quote: "'", Comma: ',', Period: '.', Slash: '/',
    ShiftLeft: 'LShift', ShiftRight: 'RShift', ControlLeft: 'LCtrl', ControlRight: 'RCtrl',
    AltLeft: 'LAlt', AltRight: 'RAlt', MetaLeft: 'LWin', MetaRight: 'RWin', ContextMenu: 'Menu',
    ArrowUp: 'Up', ArrowDown: 'Down', ArrowLeft: 'Left', ArrowRight: 'Right', Insert: 'Ins',
    Delete: 'Del', PageUp: 'PgUp', PageDown: 'PgDn', PrintScreen: 'PrtSc',
    ScrollLock: 'ScrLk', NumpadDivide: 'Num/', NumpadMultiply: 'Num*', NumpadSubtract: 'Num-',
    NumpadAdd: 'Num+', NumpadEnter: 'NumEnter', NumpadDecimal: 'Num.',
  };

  function keyOf(event) {
    const code = event.code || '';
    const candidates = [];
    if (kCodeLabels[code]) candidates.push(kCodeLabels[code]);
    if (/^Key[A-Z]$/.test(code)) candidates.push(code.slice(3));
    if (/^Digit[0-9]$/.test(code)) candidates.push(code.slice(5));
    if (/^Numpad[0-9]$/.test(code)) candidates.push('Num' + code.slice(6));
    candidates.push(code, event.key);
    for (const label of candidates) {
      const key = label && keysByLabel.get(label.toLowerCase());
      if (key) return key;
    }
    return null;
  }

  document.addEventListener('keydown', (event) => {
    if (!el('typing').checked || event.target.tagName === 'INPUT') return;
    const key = keyOf(event);
    if (!key) return;
    event.preventDefault();
    if (!event.repeat) send(key, true);
  });
  document.addEventListener('keyup', (event) => {
    const key = keyOf(event);
    if (!key || !held.has(key.d + '-' + key.led)) return;
    event.preventDefault();
    send(key, false);
  });
  // Keys held while the page loses the focus would never see their release.
  window.addEventListener('blur', releaseAll);

  setStatus('connecting…', false);
  connect();
})();
