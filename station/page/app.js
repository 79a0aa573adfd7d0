'use strict';
// The station's page. No libraries and no build step: a substation has no
// internet, and the station serves these files as they are.
// Every text from the station goes in through textContent or setAttribute.

const $ = id => document.getElementById(id);
const main = $('view');
const arr = v => Array.isArray(v) ? v : [];
const isNum = v => typeof v === 'number' && isFinite(v);

function h(tag, props, ...kids) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(props || {})) {
    if (v == null || v === false) continue;
    if (k === 'class') e.className = v;
    // Through the CSSOM: the station's CSP refuses style attributes.
    else if (k === 'style') for (const [name, value] of Object.entries(v)) e.style.setProperty(name, value);
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

const num = v => isNum(v) ? (Math.abs(v) < 0.005 ? 0 : v).toFixed(2).replace('.', ',') : '';

const pad = (n, w = 2) => String(n).padStart(w, '0');
const date = ms => { const d = new Date(ms); return `${pad(d.getDate())}.${pad(d.getMonth() + 1)}`; };
function clock(ms, withMs) {
  const d = new Date(ms);
  const s = `${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`;
  return withMs ? `${s}.${pad(d.getMilliseconds(), 3)}` : s;
}

async function getJSON(url) {
  let r;
  try {
    r = await fetch(url, { cache: 'no-store', signal: AbortSignal.timeout(15000) });
  } catch (_) {
    throw Object.assign(new Error('станция не отвечает'), { status: 0 });
  }
  if (!r.ok) throw Object.assign(new Error(`ошибка HTTP ${r.status}`), { status: r.status });
  return r.json();
}

function parse(s) {
  try { return JSON.parse(s); } catch (_) { return null; }
}

const relayOf = a => arr(line?.relays).find(r => r.address === a);
const thead = cols => h('thead', null, h('tr', null, cols.map(([c, t]) => h('th', { class: c, scope: 'col' }, t))));

// ---- the line and the live stream ----

let line = null;
let view = null, viewKey = '';

function onLine(l) {
  if (!l || !Array.isArray(l.relays)) return;
  line = l;
  setText($('station'), l.station || 'ZaritMon');
  setText($('host'), l.host ? `· ${l.host}` : '');
  setText($('station-time'), l.time ? `данные: ${l.time}` : '');
  const pp = $('port-problem');
  setText(pp, l.portProblem ? `⚠ ${l.portProblem}` : '');
  pp.hidden = !l.portProblem;
  view?.update?.(l);
}

const conn = { es: null, timer: 0, delay: 2000, count: null, opened: false, heard: 0 };

function setConnected(ok) {
  const c = $('connection');
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
  conn.heard = Date.now();
  for (const t of ['open', 'line', 'events']) es.addEventListener(t, () => { conn.heard = Date.now(); });
  es.addEventListener('open', () => {
    conn.delay = 2000;
    setConnected(true);
    // The first opening finds the view just loaded; a later one may have missed things.
    if (conn.opened) view?.refresh?.();
    conn.opened = true;
  });
  es.addEventListener('line', e => onLine(parse(e.data)));
  es.addEventListener('events', e => {
    const d = parse(e.data);
    if (!isNum(d?.count)) return;
    const changed = conn.count !== null && d.count !== conn.count;
    conn.count = d.count;
    if (changed) view?.onEvents?.();
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

// A connection cut without a word (a pulled cable) leaves the stream open but
// silent, and its keepalive comments never reach the page: a stream silent for
// a minute is opened afresh, quietly, since a healthy one answers at once.
setInterval(() => {
  if (conn.es?.readyState === EventSource.OPEN && Date.now() - conn.heard > 60e3) connect();
}, 5000);

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
  view?.destroy?.();
  main.replaceChildren();
  window.scrollTo(0, 0);
  viewKey = key;
  view = make();
  if (line) view.update?.(line);
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
      thead(COLS), body)),
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
    for (let i = 0; i < 5; i++) setText(c[2 + i], arr(r.shown)[i]);
    const red = arr(r.red);
    const alarm = red.join(', ');
    if (c[7].dataset.red !== alarm) {
      c[7].dataset.red = alarm;
      c[7].replaceChildren();
      if (red.length) c[7].append(h('span', { class: 'mark', title: alarm, 'aria-hidden': 'true' }), h('span', { class: 'sr' }, `Авария: ${alarm}`));
    }
    setText(c[8], r.link);
    setText(c[9], r.lastAnswer);
    tr.classList.toggle('silent', r.answering === false && r.polls > 0);
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

const SP_COLS = [['label', 'Уставка'], ['text', 'Значение'], ['raw', 'Код'], ['register', 'Регистр']];
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
  const spTable = h('table', { id: 'setpoints', hidden: true }, thead(SP_COLS));
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
    if (!d.answered) {
      spTable.hidden = true;
      setText(spNote, 'нет данных: реле ещё не ответило');
      return;
    }
    const groups = new Map();
    for (const s of arr(d.setpoints)) {
      const g = s.group || '';
      if (!groups.has(g)) groups.set(g, []);
      groups.get(g).push(s);
    }
    for (const [g, list] of groups) {
      const b = h('tbody', { 'data-group': g });
      if (g) b.append(h('tr', { class: 'group' }, h('th', { colspan: 4, scope: 'rowgroup' }, g)));
      for (const s of list) {
        b.append(h('tr', { 'data-register': s.register }, SP_COLS.map(([c]) => h('td', { class: c }, s[c]))));
      }
      spTable.append(b);
    }
    spTable.hidden = false;
    setText(spNote, groups.size ? (d.time ? `Время данных: ${d.time}` : '') : 'Реле не сообщило уставок.');
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
      cur.querySelectorAll('.value').forEach((v, i) => setText(v, arr(r.shown)[i] || '—'));
      arr(l.indicators).forEach((ind, i) => {
        const src = ind.led ? r.leds : r.inputs;
        const lit = !!(src && src[ind.caption]);
        const st = !src ? 'off' : lit ? (ind.green ? 'green' : 'red') : 'off';
        const li = lamps[i];
        if (!li) return;
        Object.assign(li.dataset, { state: st, lit });
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
      thead(EV_COLS), body)));

  function read(q) {
    const page = parseInt(q.get('page') || '0', 10);
    return { relay: q.get('relay') || '', kind: q.get('kind') || '', page: page > 0 ? page : 0 };
  }

  function query(n) {
    const q = new URLSearchParams();
    if (n.relay !== '') q.set('relay', n.relay);
    if (n.kind) q.set('kind', n.kind);
    if (n.page > 0) q.set('page', n.page);
    return q.toString();
  }

  function go(change) {
    const s = query({ ...p, ...change });
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
    for (const r of arr(line?.relays)) rel.push([String(r.address), r.caption || r.name || `Реле ${r.address}`]);
    rel.push(['0', 'Линия']);
    options(relSel, rel, p.relay);
    const kinds = [['', 'Все']];
    for (const k of arr(line?.kinds)) kinds.push([k, k]);
    options(kindSel, kinds, p.kind);
  }

  async function load() {
    const my = ++seq;
    if (busy) { again = true; return; }
    busy = true;
    try {
      const d = await getJSON(`api/events?${query(p)}`);
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
    const list = arr(d.events);
    body.replaceChildren(...list.map(ev => {
      const tr = h('tr', { 'data-id': ev.id, 'data-kind': ev.kind });
      for (const [c] of EV_COLS) {
        const k = EV_KEYS[c] || c;
        const v = ev[k];
        tr.append(h('td', { class: c }, isNum(v) ? num(v) : v));
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
const HOUR = 3600e3, DAY = 24 * HOUR;
const TICKS = [1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 10800, 21600, 43200].map(s => s * 1e3);
const M = { l: 48, r: 10, t: 20, b: 22 };
const mid = s => (s.ms + (isNum(s.lastMs) ? s.lastMs : s.ms)) / 2;

function trendView(addr) {
  title(`Тренд, реле ${addr}`);
  let span = HOUR, zoom = null, data = null, shown = null, offset = null, gap = Infinity;
  let seq = 0, busy = false, dead = false, raf = 0, later = 0, hover = null, drag = null, asked = 0;
  const canvas = h('canvas', { id: 'trend', role: 'img', 'aria-label': 'График токов' });
  const ctx = canvas.getContext('2d');
  const btn = (id, t, f) => h('button', { type: 'button', id, onclick: f }, t);
  const hourB = btn('hour', 'Час', () => choose(HOUR));
  const dayB = btn('day', 'Сутки', () => choose(DAY));
  const resetB = btn('reset', 'Сбросить', () => choose(span));
  const head = h('h1', null, `Тренд: реле ${addr}`);
  const rangeE = h('span', { id: 'range', class: 'note' });
  const status = h('p', { id: 'trend-status', class: 'note' });
  const tE = h('span', { class: 't' });
  const vals = SERIES.map(([n, c]) => h('span', { class: 'v', 'data-series': n, style: { '--c': c } }));
  main.append(head,
    h('p', { class: 'links' }, h('a', { href: `#/relay/${addr}` }, 'Реле'), h('a', { href: `#/events?relay=${addr}` }, 'События реле')),
    h('div', { class: 'filters' }, h('span', { class: 'pager' }, hourB, dayB, resetB), rangeE),
    h('p', { class: 'legend' }, SERIES.map(([n, c]) => h('span', { class: 'key', style: { '--c': c } }, n))),
    h('div', { class: 'plot' }, canvas), h('p', { id: 'readout' }, tE, vals), status,
    h('p', { class: 'note hint' }, 'Значения — под указателем или касанием. Увеличить: выделите участок или покрутите колесо.'));

  // "Now" is the station's: the browser's clock may be anything.
  const serverNow = () => Date.now() + (offset || 0);
  const plotW = () => Math.max(10, canvas.clientWidth - M.l - M.r);
  const points = () => Math.max(10, Math.min(2000, Math.round(plotW() * (devicePixelRatio || 1))));
  const xOf = e => e.clientX - canvas.getBoundingClientRect().left;
  const timeAt = x => shown.from + (x - M.l) / plotW() * (shown.to - shown.from);
  const redraw = () => { raf = raf || requestAnimationFrame(() => { raf = 0; if (!dead) draw(); }); };
  const soon = ms => { clearTimeout(later); later = setTimeout(load, ms); };

  function choose(s) {
    span = s;
    zoom = null;
    shown = { from: serverNow() - span, to: serverNow() };
    redraw();
    load();
  }

  async function load() {
    const my = ++seq; // an answer still under way is for an older view
    busy = true;
    const r = zoom || (offset === null ? null : { from: serverNow() - span, to: serverNow() });
    const w = points();
    try {
      const d = await getJSON(`api/trend?relay=${addr}&points=${w}` + (r ? `&from=${Math.round(r.from)}&to=${Math.round(r.to)}` : ''));
      if (dead || my !== seq) return;
      if (isNum(d.now)) offset = d.now - Date.now();
      // Without the station's clock the first request was for its default hour.
      if (!r && span !== HOUR && offset !== null) return load();
      asked = w;
      data = d;
      // Gaps of more than 3 steps break the line; where the steps are finer
      // than the polls, the usual distance between spans is the step.
      const sp = arr(d.spans), diffs = sp.slice(1).map((s, i) => s.ms - sp[i].ms).sort((a, b) => a - b);
      gap = 3 * Math.max(Number(d.step) || 0, diffs[diffs.length >> 1] || 0);
      if (!zoom) {
        const now = isNum(d.now) ? d.now : Date.now();
        shown = { from: isNum(d.from) ? d.from : r ? r.from : now - HOUR, to: isNum(d.to) ? d.to : r ? r.to : now };
      }
      setText(status, '');
      redraw();
    } catch (e) {
      if (!dead && my === seq) setText(status, e.status === 404 ? `Реле с адресом ${addr} нет на линии.` : `Тренд не получен: ${e.message}.`);
    } finally {
      if (my === seq) busy = false;
    }
  }

  function zoomTo(a, b) {
    // From 10 s to the day the station keeps, never past its now.
    const len = Math.min(Math.max(Math.abs(b - a), 10e3), DAY), now = serverNow();
    a = Math.max(now - DAY, Math.min((a + b - len) / 2, now - len));
    zoom = shown = { from: a, to: a + len };
    redraw();
    soon(250);
  }

  canvas.addEventListener('pointerdown', e => {
    if (!shown || (e.pointerType === 'mouse' && e.button !== 0)) return;
    hover = xOf(e);
    drag = { x0: hover, x1: hover };
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
    const t = timeAt(Math.min(Math.max(xOf(e), M.l), M.l + plotW())), k = e.deltaY > 0 ? 1.25 : 0.8;
    zoomTo(t - (t - shown.from) * k, t + (shown.to - t) * k);
  }, { passive: false });

  const ro = new ResizeObserver(() => {
    redraw();
    if (asked && Math.abs(points() - asked) > asked * 0.15) soon(300);
  });
  ro.observe(canvas);
  const tick = setInterval(() => { if (!zoom && !drag && !busy && !document.hidden) load(); }, 5000);

  function draw() {
    hourB.setAttribute('aria-pressed', String(span === HOUR));
    dayB.setAttribute('aria-pressed', String(span === DAY));
    resetB.disabled = !zoom;
    const dpr = devicePixelRatio || 1, W = canvas.clientWidth, H = canvas.clientHeight;
    if (canvas.width !== Math.round(W * dpr) || canvas.height !== Math.round(H * dpr)) {
      canvas.width = Math.round(W * dpr);
      canvas.height = Math.round(H * dpr);
    }
    ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
    ctx.clearRect(0, 0, W, H);
    if (!shown) return;
    const { from, to } = shown, pw = plotW(), ph = Math.max(10, H - M.t - M.b);
    const at = date(from) !== date(to) ? t => `${date(t)} ${clock(t)}` : clock;
    setText(rangeE, `${at(from)} – ${at(to)}${zoom ? ' (увеличено)' : ''}`);
    const X = t => M.l + (t - from) / (to - from) * pw;
    const spans = arr(data?.spans).filter(s => s.lastMs >= from && s.ms <= to);
    let lo = 0, hi = 0;
    for (const s of spans) for (let k = 0; k < 4; k++) {
      if (isNum(s.max[k])) hi = Math.max(hi, s.max[k]);
      if (isNum(s.min[k])) lo = Math.min(lo, s.min[k]);
    }
    if (hi <= lo) hi = lo + 1;
    // Round steps of 1, 2 or 5, no finer than the hundredths the currents come in.
    const raw = Math.max((hi - lo) / Math.max(2, ph / 45), 0.01), p10 = 10 ** Math.floor(Math.log10(raw));
    const ys = [1, 2, 5, 10].map(m => m * p10).find(v => v >= raw);
    lo = Math.floor(lo / ys) * ys;
    hi = Math.max(Math.ceil(hi / ys) * ys, lo + ys);
    const Y = v => M.t + (hi - v) / (hi - lo) * ph;
    ctx.font = '11px system-ui, sans-serif';
    ctx.lineWidth = 1;
    ctx.fillStyle = '#555';
    ctx.strokeStyle = '#e3e6ea';
    ctx.textAlign = 'right';
    ctx.textBaseline = 'middle';
    ctx.beginPath();
    for (let i = 0, n = Math.round((hi - lo) / ys); i <= n; i++) {
      const y = Math.round(Y(lo + i * ys)) + 0.5;
      ctx.moveTo(M.l, y);
      ctx.lineTo(M.l + pw, y);
      ctx.fillText(num(lo + i * ys).replace(/,?0+$/, ''), M.l - 5, y);
    }
    // Time ticks on round local times, with room for their labels.
    const step = TICKS.find(s => s / (to - from) * pw >= 72) || TICKS[TICKS.length - 1];
    const tz = new Date(from).getTimezoneOffset() * 60e3;
    ctx.textAlign = 'center';
    ctx.textBaseline = 'top';
    for (let t = Math.ceil((from - tz) / step) * step + tz; t <= to; t += step) {
      const x = Math.round(X(t)) + 0.5;
      let lab = clock(t);
      lab = lab === '00:00:00' ? date(t) : step >= 60e3 ? lab.slice(0, 5) : lab;
      ctx.moveTo(x, M.t);
      ctx.lineTo(x, M.t + ph);
      if (x + ctx.measureText(lab).width / 2 < W) ctx.fillText(lab, x, M.t + ph + 5);
    }
    ctx.stroke();
    ctx.textAlign = 'left';
    ctx.fillText('Ток, А', 4, 2);
    ctx.strokeStyle = '#9aa3ad';
    ctx.strokeRect(M.l + 0.5, M.t + 0.5, pw, ph);
    ctx.save();
    ctx.beginPath();
    ctx.rect(M.l, M.t, pw, ph);
    ctx.clip();
    const runs = [];
    spans.forEach((s, i) => {
      if (!i || s.ms - spans[i - 1].ms > gap) runs.push([]);
      runs[runs.length - 1].push(s);
    });
    const path = (run, f) => {
      ctx.beginPath();
      run.forEach((s, i) => ctx[i ? 'lineTo' : 'moveTo'](X(mid(s)), Y(f(s))));
    };
    ctx.lineWidth = 1.25;
    SERIES.forEach(([, colour], k) => {
      ctx.fillStyle = ctx.strokeStyle = colour;
      for (const all of runs) {
        const run = all.filter(s => isNum(s.min[k]) && isNum(s.max[k]));
        if (run.length === 1) {
          const x = X(mid(run[0])), y = Y(run[0].max[k]);
          ctx.fillRect(x - 1.5, y - 1.5, 3, Y(run[0].min[k]) - y + 3);
        }
        if (run.length < 2) continue;
        path(run, s => s.max[k]);
        for (let i = run.length - 1; i >= 0; i--) ctx.lineTo(X(mid(run[i])), Y(run[i].min[k]));
        ctx.globalAlpha = 0.22;
        ctx.fill();
        ctx.globalAlpha = 1;
        // Both edges, so a spike shows its full height and no value is made up.
        path(run, s => s.max[k]);
        ctx.stroke();
        path(run, s => s.min[k]);
        ctx.stroke();
      }
    });
    ctx.restore();
    ctx.textAlign = 'center';
    if (drag) {
      ctx.fillStyle = 'rgba(42, 98, 208, 0.15)';
      ctx.fillRect(Math.min(drag.x0, drag.x1), M.t, Math.abs(drag.x1 - drag.x0), ph);
    }
    if (!spans.length) {
      ctx.fillStyle = '#777';
      ctx.font = '14px system-ui, sans-serif';
      ctx.fillText(data ? 'Нет данных за этот промежуток' : 'Загрузка…', M.l + pw / 2, M.t + ph / 2);
    }
    const inside = hover !== null && hover >= M.l && hover <= M.l + pw;
    if (inside) {
      ctx.fillStyle = '#333';
      ctx.fillRect(Math.round(hover), M.t, 1, ph);
    }
    readout(inside ? timeAt(hover) : null, spans, X);
  }

  function readout(t, spans, X) {
    setText(tE, t === null ? '' : clock(t, shown.to - shown.from <= 60e3));
    // The span nearest the pointer, if one lies close enough to speak for it.
    let a = 0, b = spans.length - 1, best = null, dist = Infinity;
    while (a < b) { const m = (a + b) >> 1; if (spans[m].ms < t) a = m + 1; else b = m; }
    for (const s of t === null ? [] : [spans[a - 1], spans[a]]) {
      if (s && Math.abs(mid(s) - t) < dist) { dist = Math.abs(mid(s) - t); best = s; }
    }
    const near = best && (dist <= gap / 2 || X(t + dist) - X(t) <= 4);
    SERIES.forEach(([n], k) => {
      const lo = near ? num(best.min[k]) : '', hi = near ? num(best.max[k]) : '';
      setText(vals[k], t === null ? '' : lo ? `${n} ${lo === hi ? lo : `${lo}…${hi}`} А` : `${n} —`);
    });
  }

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
