// The dashboard's client: polls the metrics document every two seconds and
// draws it. Runs inside an immediately invoked function written around this
// file by the page, at the end of the body, so every element it needs exists.
'use strict';

var N = 60; // samples kept per chart
var TIMER = null; // handle of the last armed poll timer
var BUSY = false; // a request is in flight
var HIST = new Map(); // GPU index as text -> { u: compute %, m: VRAM % }
var CHAIN = 0; // bumped on hiding, so a request that settles afterwards does not re-arm
// A request still out after this long is given up as failed: neither the
// browser nor a proxy is bound to end a stalled one. A healthy node can take
// the tool bound twice over (NVIDIA, then AMD) plus the grace for a tool stuck
// in the driver; this stays clear of that, with room for a slow hub.
var DEADLINE_MS = 30000;
var DASH = '\u2014';
var NO_GPU = $('emptyTitle').textContent; // the empty state's words, as the node says them
var SVG_NS = 'http://www.w3.org/2000/svg';

var params = new URLSearchParams(location.search);
var HUB = params.get('plugin') || ''; // set when the hub serves the page
var node = params.get('node') || '';
var sid = params.get('id') || '';

// Storage can be refused (privacy modes, sandboxed frames); the page then
// polls without a stored password instead of stopping before its first request.
function stored(key) {
  try {
    return localStorage.getItem(key) || '';
  } catch (e) {
    return '';
  }
}
var pwd = params.get('pwd') || (node && stored('bot_pwd_' + node)) || stored('bot_active_pwd') || '';

function $(id) {
  return document.getElementById(id);
}

function txt(id, v) {
  var e = $(id);
  if (e) e.textContent = v == null ? '' : v;
}

function el(tag, cls, text) {
  var e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text; // always text: names never become markup
  return e;
}

function chip(text, cls) {
  return el('span', cls ? 'chip ' + cls : 'chip', text);
}

// Amounts arrive in MB (MiB).
function mb(n) {
  if (n == null) return DASH;
  if (n >= 1024) return (Math.round((n / 1024) * 10) / 10).toFixed(1) + ' GB';
  return Math.round(n) + ' MB';
}

function requestUrl() {
  var E = encodeURIComponent;
  // Through the hub the page has to call the hub's proxy back; on the node, the plugin itself.
  var u = HUB ? '/plugins?plugin=' + E(HUB) + '&action=' + E('metrics') : '/plugin_vistrel?action=' + E('metrics');
  if (node) u += '&node=' + E(node);
  if (sid) u += '&id=' + E(sid);
  if (pwd) u += '&pwd=' + E(pwd);
  return u;
}

// Settles after BUSY is cleared and never fails. Only a metrics document
// (ok true) is drawn, whatever the HTTP status: anything else, the node's
// 401 refusal or a hub's JSON error, is a failed refresh that says the
// document's error and leaves the drawing as it was.
// A request that outlives DEADLINE_MS is aborted, body and all, and fails
// like any other: without that one lost answer would keep BUSY set for good.
function refresh() {
  if (BUSY) return Promise.resolve();
  BUSY = true;
  var ctl = new AbortController();
  var deadline = setTimeout(function () {
    ctl.abort();
  }, DEADLINE_MS);
  return Promise.resolve()
    .then(function () {
      var opt = { cache: 'no-store', signal: ctl.signal };
      // fetch refuses a header value beyond Latin-1 and then sends nothing at
      // all; such a password travels in the query alone, which the node
      // accepts as well. Printable ASCII is what every server passes as is.
      if (pwd && /^[\x20-\x7e]+$/.test(pwd)) opt.headers = { 'X-Bot-Password': pwd };
      return fetch(requestUrl(), opt);
    })
    .then(function (r) {
      return r.json();
    })
    .then(function (d) {
      if (d && d.ok === true) return paint(d);
      var why = d && typeof d.error === 'string' && d.error ? ': ' + d.error : '';
      txt('stamp', 'refresh failed' + why);
    })
    .catch(function () {
      txt('stamp', 'refresh failed');
    })
    .then(function () {
      clearTimeout(deadline);
      BUSY = false;
    });
}

// The 2000 ms run from the end of one refresh to the start of the next.
// Arming replaces any pending timer, so a tick started while another was
// waiting for its answer (page shown again mid-request) leaves one chain, not two.
function tick() {
  var chain = CHAIN;
  refresh().then(function () {
    if (chain !== CHAIN) return; // hidden meanwhile: the chain stopped
    if (TIMER !== null) clearTimeout(TIMER);
    TIMER = setTimeout(tick, 2000);
  });
}

function pushHist(key, util, share) {
  var h = HIST.get(key);
  if (!h) HIST.set(key, (h = { u: [], m: [] }));
  h.u.push(util);
  h.m.push(share);
  if (h.u.length > N) h.u.shift();
  if (h.m.length > N) h.m.shift();
  return h;
}

function svg(tag, attrs) {
  var e = document.createElementNS(SVG_NS, tag);
  for (var k in attrs) e.setAttribute(k, attrs[k]);
  return e;
}

// A 100 x 40 drawing stretched to the card's width: the polyline stays sharp
// at any size and needs no redrawing when the card is resized.
function spark(samples, colour) {
  var s = svg('svg', { class: 'spark', viewBox: '0 0 100 40', preserveAspectRatio: 'none' });
  s.appendChild(svg('line', { x1: 0, y1: 39, x2: 100, y2: 39, stroke: 'rgba(255,255,255,.14)', 'stroke-width': '0.6' }));
  var n = samples.length;
  if (!n) return s;
  function y(v) {
    return 39 - (Math.min(100, Math.max(0, v)) / 100) * 37;
  }
  if (n === 1) {
    s.appendChild(svg('circle', { cx: 100, cy: y(samples[0]), r: '1.6', fill: colour }));
    return s;
  }
  var pts = samples.map(function (v, i) {
    return ((i * 100) / (n - 1)).toFixed(2) + ',' + y(v).toFixed(2);
  });
  s.appendChild(
    svg('polyline', {
      points: pts.join(' '),
      fill: 'none',
      stroke: colour,
      'stroke-width': '1.4',
      'stroke-linejoin': 'round',
      'vector-effect': 'non-scaling-stroke'
    })
  );
  return s;
}

function gpuCard(g) {
  var share = g.mem_total_mb > 0 ? (g.mem_used_mb / g.mem_total_mb) * 100 : 0;
  var h = pushHist(String(g.index), g.util_gpu, share);
  var card = el('div', 'gpu');
  var head = el('div', 'h');
  head.appendChild(el('span', 'idx', 'GPU ' + g.index));
  head.appendChild(el('span', 'nm', g.name));
  card.appendChild(head);
  card.appendChild(el('div', 'uuid', g.uuid || 'no uuid'));
  var chips = el('div', 'chips');
  chips.appendChild(chip(Math.round(g.util_gpu) + '% compute'));
  chips.appendChild(chip(mb(g.mem_used_mb) + ' / ' + mb(g.mem_total_mb) + ' VRAM'));
  if (g.temp_c != null) {
    // Thresholds compare the reported value, before rounding.
    var heat = g.temp_c >= 85 ? 'hot' : g.temp_c >= 70 ? 'warm' : '';
    chips.appendChild(chip(Math.round(g.temp_c) + '\u00b0C', heat));
  }
  if (g.power_w != null) {
    var limit = g.power_limit_w != null && g.power_limit_w !== 0 ? ' / ' + Math.round(g.power_limit_w) : '';
    chips.appendChild(chip(Math.round(g.power_w) + ' W' + limit));
  }
  card.appendChild(chips);
  card.appendChild(spark(h.u, 'var(--compute)'));
  card.appendChild(spark(h.m, 'var(--vram)'));
  return card;
}

function renderGpus(d) {
  var grid = $('gpuGrid');
  var gpus = d.gpus || [];
  grid.textContent = '';
  gpus.forEach(function (g) {
    grid.appendChild(gpuCard(g));
  });
  var any = gpus.length > 0;
  $('emptyState').classList.toggle('hide', any);
  $('legend').classList.toggle('hide', !any);
  // "512 MB / 8.0 GB" -> "512/8.0 GB": the used amount's unit is dropped.
  var mem = (mb(d.mem_used_mb) + ' / ' + mb(d.mem_total_mb)).replace(' GB / ', '/').replace(' MB / ', '/');
  txt('kGpus', String(gpus.length));
  txt('kUtil', any ? Math.round(d.util_gpu_avg) + '%' : DASH);
  txt('kMem', any ? mem : DASH);
  txt('kPower', d.power_w == null ? DASH : Math.round(d.power_w) + ' W');
  txt('kProcs', String((d.processes || []).length));
}

function renderProcs(d) {
  var rows = $('procRows');
  var procs = d.processes || [];
  rows.textContent = '';
  procs.forEach(function (p) {
    var tr = el('tr');
    tr.appendChild(el('td', 'num', p.gpu_index >= 0 ? String(p.gpu_index) : '-'));
    tr.appendChild(el('td', 'num', String(p.pid)));
    tr.appendChild(el('td', 'nm', p.name));
    tr.appendChild(el('td', 'num', mb(p.used_mb)));
    rows.appendChild(tr);
  });
  $('procEmpty').classList.toggle('hide', procs.length > 0);
}

// The node's message, as text. Where the empty state shows and its headline
// says the same, it is said once; where the message tells of a failure, the
// empty state does not claim that there is no GPU.
function renderMessage(d) {
  var m = typeof d.message === 'string' ? d.message : '';
  var none = !(d.gpus || []).length;
  var failure = m !== '' && m !== NO_GPU;
  txt('notice', m);
  $('notice').classList.toggle('hide', m === '' || (none && !failure));
  txt('emptyTitle', failure ? 'No GPU readings' : NO_GPU);
}

function paint(d) {
  txt('srcBadge', d.source || 'none');
  $('srcBadge').className = d.available === true ? 'pill live' : 'pill warn';
  txt('drvBadge', d.driver ? 'driver ' + d.driver : 'no driver');
  txt('stamp', d.utc || '');
  renderMessage(d);
  renderGpus(d);
  renderProcs(d);
}

$('btnRefresh').addEventListener('click', function () {
  refresh();
});
document.addEventListener('visibilitychange', function () {
  if (document.hidden) {
    CHAIN++;
    if (TIMER !== null) {
      clearTimeout(TIMER);
      TIMER = null;
    }
  } else if (TIMER === null) {
    tick();
  }
});
tick(); // at once, visible or not
