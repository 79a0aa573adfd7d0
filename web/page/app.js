'use strict';
// The station's page. No libraries and no build step: a substation has no
// internet, and the station serves these files as they are.
// Every text from the station goes in through textContent or setAttribute.

const main = document.getElementById('view');

function h(tag, props, ...kids) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(props || {})) {
    if (v == null || v === false) continue;
    if (k === 'class') e.className = v;
    else if (k.startsWith('on')) e.addEventListener(k.slice(2), v);
    else e.setAttribute(k, v === true ? '' : v);
  }
  for (const k of kids.flat()) if (k != null && k !== false) e.append(k instanceof Node ? k : String(k));
  return e;
}

// Rewriting only what changed keeps selections and tooltips alive under 4 updates a second.
function setText(e, s) {
  s = s == null ? '' : String(s);
  if (e.textContent !== s) e.textContent = s;
}

function num(v) {
  if (typeof v !== 'number' || !isFinite(v)) return '';
  return (Math.abs(v) < 0.005 ? 0 : v).toFixed(2).replace('.', ',');
}

const pad = (n, w = 2) => String(n).padStart(w, '0');
const date = ms => { const d = new Date(ms); return `${pad(d.getDate())}.${pad(d.getMonth() + 1)}`; };
function clock(ms, withMs) {
  const d = new Date(ms);
  const s = `${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`;
  return withMs ? `${s}.${pad(d.getMilliseconds(), 3)}` : s;
}

async function getJSON(url) {
  const ctl = new AbortController();
  const t = setTimeout(() => ctl.abort(), 15000);
  let r;
  try {
    r = await fetch(url, { cache: 'no-store', signal: ctl.signal });
  } catch (_) {
    throw Object.assign(new Error('станция не отвечает'), { status: 0 });
  } finally {
    clearTimeout(t);
  }
  if (!r.ok) throw Object.assign(new Error(`ошибка HTTP ${r.status}`), { status: r.status });
  return r.json();
}

function parse(s) {
  try { return JSON.parse(s); } catch (_) { return null; }
}

const relayOf = a => line && Array.isArray(line.relays) ? line.relays.find(r => r.address === a) : undefined;

// ---- the line and the live stream ----

let line = null;
let view = null, viewKey = '';

function onLine(l) {
  if (!l || !Array.isArray(l.relays)) return;
  line = l;
  setText(document.getElementById('station'), l.station || 'ZaritMon');
  setText(document.getElementById('host'), l.host ? `· ${l.host}` : '');
  const t = document.getElementById('station-time');
  setText(t, l.time ? `данные: ${l.time}` : '');
  const pp = document.getElementById('port-problem');
  setText(pp, l.portProblem ? `⚠ ${l.portProblem}` : '');
  pp.hidden = !l.portProblem;
  if (view && view.update) view.update(l);
}

const conn = { es: null, timer: 0, delay: 2000, count: null, opened: false };

function setConnected(ok) {
  const c = document.getElementById('connection');
  c.dataset.state = ok ? 'open' : 'closed';
  setText(c, ok ? 'на связи' : 'нет связи со станцией');
  c.title = ok ? 'Поток данных станции открыт' : 'Страница переподключается сама';
  document.body.classList.toggle('stale', !ok);
}

function connect() {
  clearTimeout(conn.timer);
  if (conn.es) conn.es.close();
  const es = conn.es = new EventSource('api/stream');
  conn.count = null; // a reopened stream reloads the view anyway
  es.addEventListener('open', () => {
    conn.delay = 2000;
    setConnected(true);
    // The first opening finds the view just loaded; a later one may have missed things.
    if (conn.opened && view && view.refresh) view.refresh();
    conn.opened = true;
  });
  es.addEventListener('line', e => onLine(parse(e.data)));
  es.addEventListener('events', e => {
    const d = parse(e.data);
    if (!d || typeof d.count !== 'number') return;
    const changed = conn.count !== null && d.count !== conn.count;
    conn.count = d.count;
    if (changed && view && view.onEvents) view.onEvents();
  });
  // Our own reconnect rather than the browser's: it gives up for good on a 503.
  es.addEventListener('error', () => {
    if (es !== conn.es) return;
    es.close();
    setConnected(false);
    clearTimeout(conn.timer);
    conn.timer = setTimeout(() => {
      connect();
      // A refused stream still leaves the plain request: keep the figures fresh.
      getJSON('api/line').then(onLine, () => {});
    }, conn.delay);
    conn.delay = Math.min(conn.delay * 2, 10000);
  });
}

// ---- routing ----

function route() {
  const raw = location.hash.replace(/^#/, '') || '/';
  const i = raw.indexOf('?');
  const path = i < 0 ? raw : raw.slice(0, i);
  const q = new URLSearchParams(i < 0 ? '' : raw.slice(i + 1));
  let m, key, make, nav = '';
  if (path === '/' || path === '') {
    key = 'all'; make = overviewView; nav = '#/';
  } else if ((m = /^\/relay\/(\d+)$/.exec(path))) {
    key = path; make = () => relayView(+m[1]);
  } else if ((m = /^\/trend\/(\d+)$/.exec(path))) {
    key = path; make = () => trendView(+m[1]);
  } else if (path === '/events') {
    key = 'events'; make = () => eventsView(q); nav = '#/events';
  } else {
    key = 'none'; make = missingView;
  }
  for (const a of document.querySelectorAll('header nav a')) {
    if (a.getAttribute('href') === nav) a.setAttribute('aria-current', 'page');
    else a.removeAttribute('aria-current');
  }
  if (key === viewKey && view.enter) return view.enter(q);
  if (view && view.destroy) view.destroy();
  main.replaceChildren();
  window.scrollTo(0, 0);
  viewKey = key;
  view = make();
  if (line && view.update) view.update(line);
}

function title(s) {
  document.title = `${s} — ZaritMon`;
}

function missingView() {
  title('Нет такой страницы');
  main.append(h('h1', null, 'Нет такой страницы'), h('p', null, h('a', { href: '#/' }, 'К списку реле')));
  return {};
}

// ---- the line at a glance ----

const COLS = [['name', 'Реле'], ['address', 'Адрес'], ['Ia', 'Ia, А'], ['Ib', 'Ib, А'], ['Ic', 'Ic, А'],
  ['I0', '3Io, А'], ['lastTrip', 'Iкз, А'], ['alarm', 'Авария'], ['link', 'Связь'], ['lastAnswer', 'Последний ответ']];

function overviewView() {
  title('Все реле');
  const body = h('tbody');
  const empty = h('p', { class: 'note' }, 'Ждём данных от станции…');
  main.append(h('h1', null, 'Все реле'),
    h('div', { class: 'scroll' }, h('table', { id: 'relays' },
      h('thead', null, h('tr', null, COLS.map(([c, t]) => h('th', { class: c, scope: 'col' }, t)))), body)),
    empty);
  const rows = new Map();

  function row(a) {
    const tr = h('tr', { 'data-address': a });
    for (const [c] of COLS) tr.append(h('td', { class: c }));
    tr.cells[0].append(h('a', { href: `#/relay/${a}` }));
    return tr;
  }

  function fill(tr, r) {
    const c = tr.cells;
    setText(c[0].firstChild, r.name || r.caption || `Реле ${r.address}`);
    setText(c[1], r.address);
    const shown = Array.isArray(r.shown) ? r.shown : [];
    for (let i = 0; i < 5; i++) setText(c[2 + i], shown[i]);
    const red = Array.isArray(r.red) ? r.red : [];
    const alarm = red.join(', ');
    if (c[7].dataset.red !== alarm) {
      c[7].dataset.red = alarm;
      c[7].replaceChildren();
      if (red.length) c[7].append(h('span', { class: 'mark', title: alarm, 'aria-hidden': 'true' }), h('span', { class: 'sr' }, `Авария: ${alarm}`));
    }
    setText(c[8], r.link);
    setText(c[9], r.lastAnswer);
    const silent = r.answering === false && r.polls > 0;
    tr.classList.toggle('silent', silent);
    tr.classList.toggle('tripped', red.length > 0);
  }

  return {
    update(l) {
      const seen = new Set();
      let prev = null;
      for (const r of l.relays) {
        const a = Number(r.address);
        let tr = rows.get(a);
        if (!tr) rows.set(a, tr = row(a));
        const at = prev ? prev.nextSibling : body.firstChild;
        if (tr !== at) body.insertBefore(tr, at);
        fill(tr, r);
        prev = tr;
        seen.add(a);
      }
      for (const [a, tr] of rows) if (!seen.has(a)) { tr.remove(); rows.delete(a); }
      empty.hidden = true;
      if (!l.relays.length) { empty.hidden = false; setText(empty, 'На линии нет реле.'); }
    },
  };
}

// ---- one relay ----

const CURRENTS = [['Ia', 'Ia'], ['Ib', 'Ib'], ['Ic', 'Ic'], ['I0', '3Io'], ['lastTrip', 'Последнее срабатывание Iкз']];

function relayView(addr) {
  title(`Реле ${addr}`);
  let dead = false;
  const head = h('h1', null, `Реле ${addr}`);
  const missing = h('p', { class: 'note', hidden: true }, `Реле с адресом ${addr} нет на линии.`);
  const cur = h('div', { id: 'currents' }, CURRENTS.map(([k, t]) =>
    h('div', { class: 'current', 'data-name': k }, h('span', { class: 'label' }, t),
      h('span', { class: 'value' }, '—'), h('span', { class: 'unit' }, 'А'))));
  const leds = h('ul', { class: 'lamps', id: 'leds' }), inputs = h('ul', { class: 'lamps', id: 'inputs' });
  const health = h('p', { id: 'health' });
  const spNote = h('p', { id: 'setpoints-status', class: 'note' }, 'Загрузка уставок…');
  const spTable = h('table', { id: 'setpoints', hidden: true },
    h('thead', null, h('tr', null, h('th', { scope: 'col' }, 'Уставка'), h('th', { scope: 'col' }, 'Значение'),
      h('th', { scope: 'col', class: 'raw' }, 'Код'), h('th', { scope: 'col', class: 'reg' }, 'Регистр'))));
  const all = h('div', null, health, cur,
    h('div', { class: 'indicators' },
      h('section', null, h('h2', null, 'Светодиоды'), leds),
      h('section', null, h('h2', null, 'Дискретные входы'), inputs)),
    h('h2', null, 'Уставки'), spNote, h('div', { class: 'scroll' }, spTable));
  main.append(head,
    h('p', { class: 'links' }, h('a', { href: `#/trend/${addr}` }, 'Тренд токов'), h('a', { href: `#/events?relay=${addr}` }, 'События реле')),
    missing, all);

  let lampsFor = '', lamps = [];
  function buildLamps(ind) {
    const sig = JSON.stringify(ind);
    if (sig === lampsFor) return;
    lampsFor = sig;
    leds.replaceChildren(); inputs.replaceChildren();
    lamps = ind.map(i => {
      const li = h('li', { class: 'lamp off', 'data-state': 'off', 'data-caption': i.caption },
        h('span', { class: 'bulb', 'aria-hidden': 'true' }), h('span', { class: 'caption' }, i.caption), h('span', { class: 'sr' }));
      (i.led ? leds : inputs).append(li);
      return li;
    });
  }

  let spSeq = 0, spWaiting = false, spAt = 0, lastAnswered = null;
  async function loadSetpoints() {
    const my = ++spSeq;
    spAt = Date.now();
    try {
      const d = await getJSON(`api/setpoints?relay=${addr}`);
      if (dead || my !== spSeq) return;
      showSetpoints(d);
    } catch (e) {
      if (dead || my !== spSeq) return;
      setText(spNote, e.status === 404 ? `Реле с адресом ${addr} нет на линии.` : `Уставки не получены: ${e.message}.`);
    }
  }

  function showSetpoints(d) {
    spWaiting = !d.answered;
    for (const b of [...spTable.tBodies]) b.remove();
    if (!d.answered || !Array.isArray(d.setpoints)) {
      spTable.hidden = true;
      setText(spNote, 'нет данных: реле ещё не ответило');
      return;
    }
    const groups = new Map();
    for (const s of d.setpoints) {
      const g = s.group || '';
      if (!groups.has(g)) groups.set(g, []);
      groups.get(g).push(s);
    }
    for (const [g, list] of groups) {
      const b = h('tbody', { 'data-group': g });
      if (g) b.append(h('tr', { class: 'group' }, h('th', { colspan: 4, scope: 'rowgroup' }, g)));
      for (const s of list) {
        b.append(h('tr', { 'data-register': s.register },
          h('td', { class: 'label' }, s.label), h('td', { class: 'text' }, s.text),
          h('td', { class: 'raw' }, s.raw), h('td', { class: 'reg' }, s.register)));
      }
      spTable.append(b);
    }
    spTable.hidden = false;
    setText(spNote, d.setpoints.length ? (d.time ? `Время данных: ${d.time}` : '') : 'Реле не сообщило уставок.');
  }

  loadSetpoints();

  return {
    update(l) {
      const r = relayOf(addr);
      missing.hidden = !!r;
      all.hidden = !r;
      if (Array.isArray(l.indicators)) buildLamps(l.indicators);
      if (!r) return;
      setText(head, r.caption || r.name);
      title(r.caption || r.name || `Реле ${addr}`);
      const shown = Array.isArray(r.shown) ? r.shown : [];
      cur.querySelectorAll('.value').forEach((v, i) => setText(v, shown[i] || '—'));
      (Array.isArray(l.indicators) ? l.indicators : []).forEach((ind, i) => {
        const src = ind.led ? r.leds : r.inputs;
        const lit = !!(src && src[ind.caption]);
        const st = !src ? 'off' : lit ? (ind.green ? 'green' : 'red') : 'off';
        const li = lamps[i];
        if (!li || li.dataset.state === st && li.dataset.lit === String(lit)) return;
        li.dataset.state = st;
        li.dataset.lit = String(lit);
        li.className = `lamp ${st}`;
        setText(li.lastChild, !src ? ': нет данных' : lit ? ': горит' : ': не горит');
      });
      setText(health, r.health);
      health.classList.toggle('bad', r.answering === false && r.polls > 0);
      const n = Number(r.answered) || 0;
      // The setpoints are read once the relay first answers; until then the station has none.
      if ((lastAnswered === 0 && n > 0) || (spWaiting && n > 0 && Date.now() - spAt > 5000)) loadSetpoints();
      lastAnswered = n;
    },
    refresh: loadSetpoints,
    destroy() { dead = true; },
  };
}

// ---- events ----

const EV_COLS = [['time', 'Время'], ['relay', 'Реле'], ['kind', 'Вид'], ['what', 'Событие'], ['state', 'Состояние'],
  ['Ia', 'Ia'], ['Ib', 'Ib'], ['Ic', 'Ic'], ['I0', '3Io'], ['lastTrip', 'Iкз']];
const EV_KEYS = { I0: '3Io' };

function eventsView(q0) {
  title('События');
  let p, dead = false, seq = 0, busy = false, again = false;
  const relSel = h('select', { id: 'relay-filter', onchange: () => go({ relay: relSel.value, page: 0 }) });
  const kindSel = h('select', { id: 'kind-filter', onchange: () => go({ kind: kindSel.value, page: 0 }) });
  const newer = h('button', { type: 'button', id: 'newer', onclick: () => go({ page: p.page - 1 }) }, 'Новее');
  const older = h('button', { type: 'button', id: 'older', onclick: () => go({ page: p.page + 1 }) }, 'Старше');
  const info = h('span', { id: 'page-info' });
  const total = h('span', { id: 'events-total', class: 'note' });
  const status = h('p', { id: 'events-status', class: 'note' });
  const body = h('tbody');
  main.append(h('h1', null, 'События'),
    h('div', { class: 'filters' },
      h('label', null, 'Реле ', relSel), h('label', null, 'Вид ', kindSel),
      h('span', { class: 'pager' }, newer, info, older), total),
    status,
    h('div', { class: 'scroll' }, h('table', { id: 'events' },
      h('thead', null, h('tr', null, EV_COLS.map(([c, t]) => h('th', { class: c, scope: 'col' }, t)))), body)));

  function read(q) {
    const page = parseInt(q.get('page') || '0', 10);
    return { relay: q.get('relay') || '', kind: q.get('kind') || '', page: page > 0 ? page : 0 };
  }

  function go(change) {
    const n = Object.assign({}, p, change);
    const q = new URLSearchParams();
    if (n.relay !== '') q.set('relay', n.relay);
    if (n.kind) q.set('kind', n.kind);
    if (n.page > 0) q.set('page', n.page);
    const s = q.toString();
    location.hash = s ? `#/events?${s}` : '#/events';
  }

  function options(sel, list, value) {
    const sig = JSON.stringify(list);
    if (sel.dataset.sig !== sig) {
      sel.dataset.sig = sig;
      sel.replaceChildren(...list.map(([v, t]) => h('option', { value: v }, t)));
    }
    if (!list.some(([v]) => v === value)) sel.append(h('option', { value }, value));
    sel.value = value;
  }

  function fillFilters() {
    const rel = [['', 'Все']];
    for (const r of (line && line.relays) || []) rel.push([String(r.address), r.caption || r.name || `Реле ${r.address}`]);
    rel.push(['0', 'Линия']);
    options(relSel, rel, p.relay);
    const kinds = [['', 'Все']];
    for (const k of (line && line.kinds) || []) kinds.push([k, k]);
    options(kindSel, kinds, p.kind);
  }

  async function load() {
    const my = ++seq;
    if (busy) { again = true; return; }
    busy = true;
    const q = new URLSearchParams();
    if (p.relay !== '') q.set('relay', p.relay);
    if (p.kind) q.set('kind', p.kind);
    q.set('page', p.page);
    try {
      const d = await getJSON(`api/events?${q}`);
      if (!dead && my === seq) show(d);
    } catch (e) {
      if (!dead && my === seq) setText(status, `События не получены: ${e.message}.`);
    } finally {
      busy = false;
      if (again && !dead) { again = false; load(); }
    }
  }

  function show(d) {
    const size = d.pageSize > 0 ? d.pageSize : 50;
    const all = Number(d.total) || 0;
    const pages = Math.max(1, Math.ceil(all / size));
    const page = Number.isInteger(d.page) ? d.page : p.page;
    setText(info, `стр. ${page + 1} из ${pages}`);
    setText(total, `всего ${all}`);
    newer.disabled = page <= 0;
    older.disabled = page + 1 >= pages;
    const list = Array.isArray(d.events) ? d.events : [];
    body.replaceChildren(...list.map(ev => {
      const tr = h('tr', { 'data-id': ev.id, 'data-kind': ev.kind });
      for (const [c] of EV_COLS) {
        const k = EV_KEYS[c] || c;
        const v = ev[k];
        tr.append(h('td', { class: c }, typeof v === 'number' ? num(v) : v == null ? '' : String(v)));
      }
      return tr;
    }));
    setText(status, list.length ? '' : 'Событий нет.');
  }

  function enter(q) {
    p = read(q);
    fillFilters();
    load();
  }
  enter(q0);

  return {
    enter,
    update: fillFilters,
    refresh: load,
    onEvents() { if (p.page === 0) load(); },
    destroy() { dead = true; },
  };
}

// ---- trends ----

const SERIES = [['Ia', '#c99400'], ['Ib', '#1f9a3a'], ['Ic', '#d22f2f'], ['3Io', '#2a62d0']];
const HOUR = 3600e3, DAY = 24 * HOUR, SHORTEST = 10e3;
const TICKS = [1e3, 2e3, 5e3, 10e3, 15e3, 30e3, 60e3, 120e3, 300e3, 600e3, 900e3, 1800e3, HOUR, 2 * HOUR, 3 * HOUR, 6 * HOUR, 12 * HOUR];
const M = { l: 48, r: 10, t: 20, b: 22 };

function trendView(addr) {
  title(`Тренд, реле ${addr}`);
  let span = HOUR, zoom = null, data = null, shown = null, offset = null;
  let seq = 0, busy = false, dead = false, raf = 0, later = 0, hover = null, drag = null, fetchedW = 0;
  let gap = Infinity;
  const canvas = h('canvas', { id: 'trend', role: 'img', 'aria-label': 'График токов' });
  const ctx = canvas.getContext('2d');
  const box = h('div', { class: 'plot' }, canvas);
  const hourB = h('button', { type: 'button', id: 'hour', onclick: () => choose(HOUR) }, 'Час');
  const dayB = h('button', { type: 'button', id: 'day', onclick: () => choose(DAY) }, 'Сутки');
  const resetB = h('button', { type: 'button', id: 'reset', onclick: () => choose(span) }, 'Сбросить');
  const head = h('h1', null, `Тренд: реле ${addr}`);
  const rangeE = h('span', { id: 'range', class: 'note' });
  const status = h('p', { id: 'trend-status', class: 'note' });
  const tE = h('span', { class: 't' });
  const vals = SERIES.map(([n, c]) => h('span', { class: 'v', 'data-series': n, style: `--c:${c}` }));
  main.append(head,
    h('p', { class: 'links' }, h('a', { href: `#/relay/${addr}` }, 'Реле'), h('a', { href: `#/events?relay=${addr}` }, 'События реле')),
    h('div', { class: 'filters' }, h('span', { class: 'pager' }, hourB, dayB, resetB), rangeE),
    h('p', { class: 'legend' }, SERIES.map(([n, c]) => h('span', { class: 'key', style: `--c:${c}` }, n))),
    box, h('p', { id: 'readout' }, tE, vals), status,
    h('p', { class: 'note hint' }, 'Выделите участок или покрутите колесо над графиком, чтобы увеличить.'));

  const serverNow = () => Date.now() + (offset || 0);
  const plotW = () => Math.max(10, canvas.clientWidth - M.l - M.r);
  const points = () => Math.max(10, Math.min(2000, Math.round(plotW() * (window.devicePixelRatio || 1))));

  function buttons() {
    hourB.setAttribute('aria-pressed', String(span === HOUR));
    dayB.setAttribute('aria-pressed', String(span === DAY));
    resetB.disabled = !zoom;
  }

  function choose(s) {
    span = s;
    zoom = null;
    const now = serverNow();
    shown = { from: now - span, to: now };
    buttons();
    redraw();
    load();
  }

  async function load() {
    const my = ++seq; // an answer still under way is for an older view
    busy = true;
    let r = zoom;
    if (!r && offset !== null) { const now = serverNow(); r = { from: now - span, to: now }; }
    const w = points();
    let url = `api/trend?relay=${addr}&points=${w}`;
    if (r) url += `&from=${Math.round(r.from)}&to=${Math.round(r.to)}`;
    try {
      const d = await getJSON(url);
      if (dead || my !== seq) return;
      if (typeof d.now === 'number') offset = d.now - Date.now();
      // Without the station's clock the first request was for its default hour.
      if (!r && span !== HOUR && offset !== null) { busy = false; return load(); }
      fetchedW = w;
      take(d, r);
      setText(status, '');
    } catch (e) {
      if (!dead && my === seq) setText(status, e.status === 404 ? `Реле с адресом ${addr} нет на линии.` : `Тренд не получен: ${e.message}.`);
    } finally {
      if (my === seq) busy = false;
    }
  }

  function take(d, r) {
    data = d;
    const spans = Array.isArray(d.spans) ? d.spans : [];
    // Breaks in the line are gaps of more than 3 steps; when the steps are finer
    // than the polls, the usual distance between spans is the step that counts.
    const diffs = [];
    for (let i = 1; i < spans.length; i++) diffs.push(spans[i].ms - spans[i - 1].ms);
    diffs.sort((a, b) => a - b);
    const typical = diffs.length ? diffs[diffs.length >> 1] : 0;
    gap = 3 * Math.max(Number(d.step) || 0, typical);
    if (!zoom) {
      const now = typeof d.now === 'number' ? d.now : Date.now();
      shown = {
        from: typeof d.from === 'number' ? d.from : r ? r.from : now - HOUR,
        to: typeof d.to === 'number' ? d.to : r ? r.to : now,
      };
    }
    redraw();
  }

  function zoomTo(a, b) {
    if (b < a) [a, b] = [b, a];
    let len = Math.min(Math.max(b - a, SHORTEST), DAY);
    const c = (a + b) / 2;
    a = c - len / 2; b = a + len;
    const now = serverNow();
    if (b > now) { b = now; a = now - len; }
    if (a < now - DAY) { a = now - DAY; b = a + len; }
    zoom = shown = { from: a, to: b };
    buttons();
    redraw();
    clearTimeout(later);
    later = setTimeout(load, 250);
  }

  const xOf = e => e.clientX - canvas.getBoundingClientRect().left;
  const timeAt = x => shown.from + (x - M.l) / plotW() * (shown.to - shown.from);

  canvas.addEventListener('pointerdown', e => {
    if (!shown || (e.pointerType === 'mouse' && e.button !== 0)) return;
    drag = { x0: xOf(e), x1: xOf(e) };
    hover = drag.x0;
    canvas.setPointerCapture(e.pointerId);
    redraw();
  });
  canvas.addEventListener('pointermove', e => {
    hover = xOf(e);
    if (drag) drag.x1 = hover;
    redraw();
  });
  canvas.addEventListener('pointerup', () => {
    if (drag && Math.abs(drag.x1 - drag.x0) >= 6) zoomTo(timeAt(drag.x0), timeAt(drag.x1));
    drag = null;
    redraw();
  });
  canvas.addEventListener('pointercancel', () => { drag = null; redraw(); });
  canvas.addEventListener('pointerleave', e => { if (e.pointerType === 'mouse' && !drag) { hover = null; redraw(); } });
  canvas.addEventListener('wheel', e => {
    if (!shown) return;
    e.preventDefault();
    const t = timeAt(Math.min(Math.max(xOf(e), M.l), M.l + plotW()));
    const k = e.deltaY > 0 ? 1.25 : 0.8;
    zoomTo(t - (t - shown.from) * k, t + (shown.to - t) * k);
  }, { passive: false });

  const ro = new ResizeObserver(() => {
    redraw();
    // Ask again when the width has changed enough to want other points.
    if (fetchedW && Math.abs(points() - fetchedW) > fetchedW * 0.15) {
      clearTimeout(later);
      later = setTimeout(load, 300);
    }
  });
  ro.observe(box);
  const tick = setInterval(() => { if (!zoom && !drag && !busy && !document.hidden) load(); }, 5000);

  function redraw() {
    if (!raf) raf = requestAnimationFrame(() => { raf = 0; if (!dead) draw(); });
  }

  function fit() {
    const dpr = window.devicePixelRatio || 1;
    const w = Math.round(canvas.clientWidth * dpr), hh = Math.round(canvas.clientHeight * dpr);
    if (canvas.width !== w || canvas.height !== hh) { canvas.width = w; canvas.height = hh; }
    ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
  }

  function yScale(lo, hi, n) {
    if (!(hi > lo)) hi = lo + 1;
    const raw = Math.max((hi - lo) / Math.max(2, n), 0.01); // the currents come in hundredths
    const p = Math.pow(10, Math.floor(Math.log10(raw)));
    const step = [1, 2, 5, 10].map(m => m * p).find(s => s >= raw);
    return { lo: Math.floor(lo / step) * step, hi: Math.ceil(hi / step) * step, step };
  }

  function draw() {
    fit();
    const W = canvas.clientWidth, H = canvas.clientHeight, pw = plotW(), ph = Math.max(10, H - M.t - M.b);
    ctx.clearRect(0, 0, W, H);
    if (!shown) return;
    const { from, to } = shown;
    const at = date(from) !== date(to) ? t => `${date(t)} ${clock(t)}` : clock;
    setText(rangeE, `${at(from)} – ${at(to)}${zoom ? ' (увеличено)' : ''}`);
    const X = t => M.l + (t - from) / (to - from) * pw;
    const spans = ((data && data.spans) || []).filter(s => s.lastMs >= from && s.ms <= to);
    let lo = 0, hi = 0;
    for (const s of spans) for (let k = 0; k < 4; k++) {
      if (typeof s.max[k] === 'number') hi = Math.max(hi, s.max[k]);
      if (typeof s.min[k] === 'number') lo = Math.min(lo, s.min[k]);
    }
    const ys = yScale(lo, hi, ph / 45);
    const Y = v => M.t + (ys.hi - v) / (ys.hi - ys.lo) * ph;
    ctx.font = '11px system-ui, sans-serif';
    ctx.lineWidth = 1;
    ctx.fillStyle = '#555';
    ctx.strokeStyle = '#e3e6ea';
    ctx.textAlign = 'right';
    ctx.textBaseline = 'middle';
    ctx.beginPath();
    for (let v = ys.lo; v <= ys.hi + ys.step / 2; v += ys.step) {
      const y = Math.round(Y(v)) + 0.5;
      ctx.moveTo(M.l, y); ctx.lineTo(M.l + pw, y);
      ctx.fillText(num(v).replace(/,?0+$/, ''), M.l - 5, y);
    }
    const step = TICKS.find(s => s / (to - from) * pw >= 72) || TICKS[TICKS.length - 1];
    const tz = new Date(from).getTimezoneOffset() * 60e3;
    ctx.textAlign = 'center';
    ctx.textBaseline = 'top';
    for (let t = Math.ceil((from - tz) / step) * step + tz; t <= to; t += step) {
      const x = Math.round(X(t)) + 0.5;
      ctx.moveTo(x, M.t); ctx.lineTo(x, M.t + ph);
      const lab = clock(t);
      if (x + 16 > W) continue;
      ctx.fillText(lab === '00:00:00' ? date(t) : step >= 60e3 ? lab.slice(0, 5) : lab, x, M.t + ph + 5);
    }
    ctx.stroke();
    ctx.save();
    ctx.textAlign = 'left';
    ctx.fillText('Ток, А', 4, 2);
    ctx.strokeStyle = '#9aa3ad';
    ctx.strokeRect(M.l + 0.5, M.t + 0.5, pw, ph);
    ctx.beginPath();
    ctx.rect(M.l, M.t, pw, ph);
    ctx.clip();
    const runs = [];
    for (let i = 0, run = []; i < spans.length; i++) {
      if (run.length && spans[i].ms - run[run.length - 1].ms > gap) { runs.push(run); run = []; }
      run.push(spans[i]);
      if (i === spans.length - 1) runs.push(run);
    }
    const mid = s => X((s.ms + (typeof s.lastMs === 'number' ? s.lastMs : s.ms)) / 2);
    SERIES.forEach(([, colour], k) => {
      ctx.fillStyle = ctx.strokeStyle = colour;
      ctx.lineWidth = 1.25;
      for (const run0 of runs) {
        const run = run0.filter(s => typeof s.min[k] === 'number' && typeof s.max[k] === 'number');
        if (!run.length) continue;
        if (run.length === 1) {
          const s = run[0], y = Y(s.max[k]);
          ctx.fillRect(mid(s) - 1.5, y - 1.5, 3, Y(s.min[k]) - y + 3);
          continue;
        }
        ctx.globalAlpha = 0.22;
        ctx.beginPath();
        run.forEach((s, i) => (i ? ctx.lineTo : ctx.moveTo).call(ctx, mid(s), Y(s.max[k])));
        for (let i = run.length - 1; i >= 0; i--) ctx.lineTo(mid(run[i]), Y(run[i].min[k]));
        ctx.closePath();
        ctx.fill();
        ctx.globalAlpha = 1;
        // Both edges, so a spike shows its full height and no value is made up.
        for (const e of ['max', 'min']) {
          ctx.beginPath();
          run.forEach((s, i) => (i ? ctx.lineTo : ctx.moveTo).call(ctx, mid(s), Y(s[e][k])));
          ctx.stroke();
        }
      }
    });
    if (drag) {
      ctx.fillStyle = 'rgba(42, 98, 208, 0.15)';
      ctx.fillRect(Math.min(drag.x0, drag.x1), M.t, Math.abs(drag.x1 - drag.x0), ph);
    }
    if (!spans.length) {
      ctx.fillStyle = '#777';
      ctx.textAlign = 'center';
      ctx.textBaseline = 'middle';
      ctx.font = '14px system-ui, sans-serif';
      ctx.fillText(data ? 'Нет данных за этот промежуток' : 'Загрузка…', M.l + pw / 2, M.t + ph / 2);
    }
    const inside = hover !== null && hover >= M.l && hover <= M.l + pw;
    if (inside) {
      ctx.strokeStyle = '#333';
      ctx.lineWidth = 1;
      ctx.beginPath();
      ctx.moveTo(Math.round(hover) + 0.5, M.t); ctx.lineTo(Math.round(hover) + 0.5, M.t + ph);
      ctx.stroke();
    }
    ctx.restore();
    readout(inside ? timeAt(hover) : null, spans, X);
  }

  function readout(t, spans, X) {
    if (t === null) {
      setText(tE, 'Наведите указатель на график или коснитесь его');
      vals.forEach(v => setText(v, ''));
      return;
    }
    setText(tE, clock(t, shown.to - shown.from <= 60e3));
    // The span nearest the pointer, if one lies close enough to speak for it.
    let best = null, dist = Infinity;
    let a = 0, b = spans.length - 1;
    while (a < b) { const m = (a + b) >> 1; if (spans[m].ms < t) a = m + 1; else b = m; }
    for (const s of [spans[a - 1], spans[a]]) {
      if (!s) continue;
      const d = Math.abs((s.ms + (s.lastMs || s.ms)) / 2 - t);
      if (d < dist) { dist = d; best = s; }
    }
    const near = best && (dist <= gap / 2 || Math.abs(X(t) - X(t + dist)) <= 4);
    SERIES.forEach(([n], k) => {
      let s = `${n} —`;
      if (near && typeof best.min[k] === 'number') {
        const lo = num(best.min[k]), hi = num(best.max[k]);
        s = `${n} ${lo === hi ? lo : `${lo}…${hi}`} А`;
      }
      setText(vals[k], s);
    });
  }

  buttons();
  load();

  return {
    update() {
      const r = relayOf(addr);
      if (r) { setText(head, `Тренд: ${r.caption || r.name}`); title(`Тренд: ${r.caption || r.name}`); }
    },
    refresh() { if (!zoom) load(); },
    destroy() { dead = true; clearInterval(tick); clearTimeout(later); ro.disconnect(); },
  };
}

// ---- start ----

window.addEventListener('hashchange', route);
route();
connect();
