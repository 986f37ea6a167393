// The live page: draws the view that stands in the page (the JSON of
// #qarvel-live) with uPlot, then keeps it current in place. A page opened
// from a disk may not fetch files, but it may load scripts: every every_s
// seconds it loads the data script beside it (NAME.data.js), which hands
// the newest view to qarvelLive. Nothing is rebuilt on an update, so the
// zoom and the open or closed panels stay as the reader left them, and the
// charts never go blank. Once the status is final the page stops loading.
(function () {
  'use strict';

  var FINAL = { saved: true, nodata: true, died: true };
  var BANNER = {
    waiting: 'waiting for the run to start',
    live: 'the run is measuring',
    stalled: 'no new set has come for a while, though the run still holds its journal',
    saved: 'the run saved its file; this page no longer updates',
    nodata: 'the run ended without a complete set ("No data."); this page no longer updates',
    died: 'the run ended without saving; its journal keeps what it measured; this page no longer updates'
  };
  var COLORS = ['#1f77b4', '#d62728', '#2ca02c', '#9467bd', '#ff7f0e', '#17becf', '#8c564b', '#e377c2'];
  var CHART_HEIGHT = 220;

  var state = {
    view: null,      // the view drawn
    shape: '',       // what the panels were built for
    charts: [],      // {range, kind, u, zoomed}
    loads: 0,        // data scripts that arrived
    failures: 0,     // data scripts that could not be loaded, in a row
    changedAt: Date.now(),
    timer: null,
    stopped: false
  };
  // For scripts and tests that look at an open page.
  window.qarvelPage = state;

  function byId(id) { return document.getElementById(id); }

  function element(tag, className, text) {
    var e = document.createElement(tag);
    if (className) e.className = className;
    if (text !== undefined) e.textContent = text;
    return e;
  }

  function finite(v) { return typeof v === 'number' && isFinite(v); }

  function duration(s) {
    if (!finite(s)) return '-';
    var sign = s < 0 ? '-' : '';
    s = Math.abs(s);
    var h = Math.floor(s / 3600), m = Math.floor(s / 60) % 60, sec = Math.floor(s % 60);
    return sign + h + ':' + (m < 10 ? '0' : '') + m + ':' + (sec < 10 ? '0' : '') + sec;
  }

  function mhz(hz, digits) { return finite(hz) ? (hz / 1e6).toFixed(digits) : '-'; }
  function number(v, digits) { return finite(v) ? v.toFixed(digits) : '-'; }
  function significant(v, digits) {
    return finite(v) ? String(Number(v.toPrecision(digits))) : '-';
  }

  function alpha(color, a) {
    var n = parseInt(color.slice(1), 16);
    return 'rgba(' + (n >> 16) + ',' + ((n >> 8) & 255) + ',' + (n & 255) + ',' + a + ')';
  }

  // ------------------------------------------------------------ data

  function traceData(range, view) {
    var t = range.trace || {};
    var f = (t.f_hz || []).map(function (v) { return v === null ? null : v / 1e6; });
    var data = [f];
    if (view.magnitude) data.push(t.magnitude_db || f.map(function () { return null; }));
    if (view.phase) data.push(t.phase_deg || f.map(function () { return null; }));
    return data;
  }

  function courseData(range, kind) {
    var c = range.course || {};
    var x = c.t_s || [];
    if (kind === 'f0') {
      var ref = c.f0_ref_hz || 0;
      var toMHz = function (v) { return v === null || v === undefined ? null : (ref + v) / 1e6; };
      return [x, (c.df0_hz || []).map(toMHz), (c.df0_max_hz || []).map(toMHz),
              (c.df0_min_hz || []).map(toMHz)];
    }
    return [x, c.q || [], c.q_max || [], c.q_min || []];
  }

  // ------------------------------------------------------------ charts

  // Tick labels with the decimals that their spacing needs (f0 in MHz moves
  // in the fifth or sixth decimal).
  function ticks(u, splits, axisIdx, space, incr) {
    var decimals = finite(incr) && incr > 0 ? Math.max(0, Math.min(9, -Math.floor(Math.log10(incr) + 1e-9))) : 2;
    return splits.map(function (v) { return v === null ? '' : v.toFixed(decimals); });
  }

  function axisSize(u, values) {
    var longest = 0;
    (values || []).forEach(function (v) { longest = Math.max(longest, String(v).length); });
    return Math.max(40, 18 + longest * 7.5);
  }

  // A dashed line at the fitted f0, with its value.
  function drawF0(entry) {
    return function (u) {
      var range = state.view && state.view.ranges[entry.range];
      if (!range || !finite(range.f0_hz)) return;
      var x = u.valToPos(range.f0_hz / 1e6, 'x', true);
      var box = u.bbox;
      if (x < box.left || x > box.left + box.width) return;
      var ctx = u.ctx;
      var ratio = window.devicePixelRatio || 1;
      ctx.save();
      ctx.strokeStyle = '#111827';
      ctx.lineWidth = ratio;
      ctx.setLineDash([5 * ratio, 4 * ratio]);
      ctx.beginPath();
      ctx.moveTo(x, box.top);
      ctx.lineTo(x, box.top + box.height);
      ctx.stroke();
      ctx.setLineDash([]);
      ctx.fillStyle = '#111827';
      ctx.font = (11 * ratio) + 'px sans-serif';
      var label = 'f0 ' + mhz(range.f0_hz, 6) + ' MHz';
      var width = ctx.measureText(label).width;
      var at = x + 4 * ratio + width > box.left + box.width ? x - 4 * ratio - width : x + 4 * ratio;
      ctx.fillText(label, at, box.top + 12 * ratio);
      ctx.restore();
    };
  }

  // Whether the x scale shows less than all the data: the reader zoomed in.
  function trackZoom(entry) {
    return function (u, key) {
      if (key !== 'x') return;
      var xs = u.data[0], lo = null, hi = null;
      for (var i = 0; i < xs.length; i++) {
        if (xs[i] === null) continue;
        if (lo === null || xs[i] < lo) lo = xs[i];
        if (hi === null || xs[i] > hi) hi = xs[i];
      }
      if (lo === null || hi <= lo) {
        entry.zoomed = false;
        return;
      }
      var slack = (hi - lo) * 1e-9;
      entry.zoomed = u.scales.x.min > lo + slack || u.scales.x.max < hi - slack;
    };
  }

  function traceOptions(entry, view, color, width) {
    var series = [{ label: 'MHz', value: function (u, v) { return v === null ? '-' : v.toFixed(6); } }];
    var axes = [{ label: 'frequency (MHz)', size: 40, values: ticks }];
    if (view.magnitude) {
      series.push({ label: 'magnitude (dB)', scale: 'db', stroke: color, width: 1.5,
                    points: { show: false } });
      axes.push({ scale: 'db', label: 'dB', size: axisSize, values: ticks });
    }
    if (view.phase) {
      series.push({ label: 'phase (deg)', scale: 'deg', stroke: alpha(color, 0.55), width: 1,
                    dash: [6, 3], points: { show: false } });
      axes.push({ scale: 'deg', label: 'deg', side: view.magnitude ? 1 : 3, size: axisSize, values: ticks,
                  grid: { show: !view.magnitude } });
    }
    return {
      width: width, height: CHART_HEIGHT,
      scales: { x: { time: false } },
      series: series, axes: axes,
      hooks: { draw: [drawF0(entry)], setScale: [trackZoom(entry)] }
    };
  }

  function courseOptions(entry, kind, color, width) {
    var isF0 = kind === 'f0';
    var digits = isF0 ? 6 : 1;
    var show = function (u, v) { return v === null || v === undefined ? '-' : v.toFixed(digits); };
    return {
      width: width, height: CHART_HEIGHT,
      scales: { x: { time: false } },
      series: [
        { label: 'time', value: function (u, v) { return duration(v); } },
        { label: isF0 ? 'f0 (MHz)' : 'Q', stroke: color, width: 1.5, value: show,
          points: { show: false } },
        { label: 'max', stroke: alpha(color, 0.35), width: 0.5, value: show, points: { show: false } },
        { label: 'min', stroke: alpha(color, 0.35), width: 0.5, value: show, points: { show: false } }
      ],
      bands: [{ series: [2, 3], fill: alpha(color, 0.18) }],
      axes: [
        { label: 'time since start (h:mm:ss)', size: 40,
          values: function (u, splits) { return splits.map(duration); } },
        { label: isF0 ? 'f0 (MHz)' : 'Q', size: axisSize, values: ticks }
      ],
      hooks: { setScale: [trackZoom(entry)] }
    };
  }

  // Sets a chart's data; a zoomed chart keeps its x window (its y axis
  // follows the data within it).
  function setChartData(entry, data) {
    var u = entry.u;
    if (entry.zoomed) {
      var min = u.scales.x.min, max = u.scales.x.max;
      u.batch(function () {
        u.setData(data, false);
        u.setScale('x', { min: min, max: max });
      });
    } else {
      u.setData(data);
    }
  }

  function chartWidth(cell) { return Math.max(260, Math.floor(cell.clientWidth || 400)); }

  // ------------------------------------------------------------ panels

  function rangeTitle(range, index) {
    return 'Range ' + (index + 1) + ': ' + mhz(range.start_hz, 3) + ' to ' + mhz(range.stop_hz, 3) +
      ' MHz, ' + range.points + ' points';
  }

  function fitText(range, view) {
    var parts = ['f0 ' + mhz(range.f0_hz, 6) + ' MHz', 'Q ' + significant(range.q, 5)];
    if (view.magnitude) parts.push('peak ' + number(range.peak_db, 2) + ' dB');
    parts.push('fit ' + range.fit);
    return parts.join(', ');
  }

  function shapeOf(view) {
    return [view.ranges.length, view.magnitude, view.phase].join('/');
  }

  function build(view) {
    state.charts.forEach(function (entry) { entry.u.destroy(); });
    state.charts = [];
    var main = byId('ranges');
    main.textContent = '';
    view.ranges.forEach(function (range, r) {
      var color = COLORS[r % COLORS.length];
      var panel = element('details', 'range');
      panel.open = true;
      panel.id = 'range-' + (r + 1);
      var summary = element('summary', null, rangeTitle(range, r));
      summary.appendChild(element('span', 'range-fit'));
      panel.appendChild(summary);
      var grid = element('div', 'range-charts');
      panel.appendChild(grid);
      main.appendChild(panel);
      var kinds = [['trace', view.averaged ? 'running average: magnitude and phase' :
                                             'last set: magnitude and phase'],
                   ['f0', 'f0 over the run'], ['q', 'Q over the run']];
      kinds.forEach(function (k) {
        var cell = element('div', 'chart chart-' + k[0]);
        cell.appendChild(element('div', 'chart-title', k[1]));
        grid.appendChild(cell);
        var entry = { range: r, kind: k[0], u: null, zoomed: false, cell: cell };
        var width = chartWidth(cell);
        var opts = k[0] === 'trace' ? traceOptions(entry, view, color, width)
                                    : courseOptions(entry, k[0], color, width);
        var data = k[0] === 'trace' ? traceData(range, view) : courseData(range, k[0]);
        entry.u = new uPlot(opts, data, cell);
        state.charts.push(entry);
      });
    });
    state.shape = shapeOf(view);
  }

  function showHeader(view) {
    document.title = 'qarvel live: ' + view.status + ' ' + view.sets + ' sets, ' + view.target;
    var banner = byId('banner');
    var stale = !FINAL[view.status] && state.staleSince;
    banner.className = 'banner status-' + view.status + (stale ? ' stale' : '');
    byId('status').textContent = view.status;
    byId('banner-text').textContent = stale ? 'no update from the follower since ' + state.staleSince
                                            : (BANNER[view.status] || '');
    byId('target').textContent = view.target;
    byId('sets').textContent = String(view.sets) + (view.averaged ? ' averaged' : '');
    byId('elapsed').textContent = duration(view.elapsed_s);
    byId('started').textContent = view.start_utc ? view.start_utc.replace('T', ' ') : '-';
    byId('file').textContent = view.file || '-';
    byId('cycle-fact').hidden = view.cycle === null || view.cycle === undefined;
    byId('cycle').textContent = view.cycle === null || view.cycle === undefined ? '-' : String(view.cycle);
    byId('written').textContent = view.written_utc ? view.written_utc.replace('T', ' ') : '-';
    var note = byId('note');
    note.hidden = !view.note;
    note.textContent = view.note || '';
  }

  function render(view) {
    state.view = view;
    if (shapeOf(view) !== state.shape) build(view);
    showHeader(view);
    var panels = byId('ranges').children;
    view.ranges.forEach(function (range, r) {
      var fit = panels[r] && panels[r].querySelector('.range-fit');
      if (fit) fit.textContent = fitText(range, view);
    });
    state.charts.forEach(function (entry) {
      var range = view.ranges[entry.range];
      setChartData(entry, entry.kind === 'trace' ? traceData(range, view) : courseData(range, entry.kind));
    });
  }

  // ------------------------------------------------------------ updates

  function dataScriptName() {
    var path = location.pathname;
    return decodeURIComponent(path.slice(path.lastIndexOf('/') + 1)) + '.data.js';
  }

  function say(text) { byId('updating').textContent = text; }

  function schedule() {
    if (state.stopped) return;
    var every = finite(state.view.every_s) && state.view.every_s > 0 ? state.view.every_s : 2;
    state.timer = setTimeout(load, every * 1000);
  }

  function stop(why) {
    state.stopped = true;
    if (state.timer !== null) clearTimeout(state.timer);
    state.timer = null;
    say(why);
  }

  // Flags a page whose data has not changed for long while the run is not
  // over: the follower that writes it may have stopped.
  function checkStale() {
    var every = finite(state.view.every_s) && state.view.every_s > 0 ? state.view.every_s : 2;
    var quiet = Date.now() - state.changedAt;
    var was = state.staleSince;
    state.staleSince = quiet > Math.max(15000, 5000 * every)
      ? new Date(state.changedAt).toLocaleTimeString() : null;
    if (was !== state.staleSince) showHeader(state.view);
  }

  function load() {
    state.timer = null;
    var script = document.createElement('script');
    var done = function () {
      script.remove();
      checkStale();
      schedule();
    };
    script.onload = function () { state.failures = 0; done(); };
    script.onerror = function () {
      state.failures += 1;
      say('no newer data: ' + dataScriptName() + ' beside this page cannot be read' +
          (state.loads === 0 ? ' (a copy of the page shows what it holds)' : ''));
      done();
    };
    script.src = encodeURIComponent(dataScriptName()) + '?' + Date.now();
    document.head.appendChild(script);
  }

  // Called by the data script with the newest view.
  window.qarvelLive = function (view) {
    if (state.stopped || !view || !view.ranges) return;
    state.loads += 1;
    if (view.written_utc !== state.view.written_utc || view.sets !== state.view.sets ||
        view.status !== state.view.status) {
      state.changedAt = Date.now();
      state.staleSince = null;
      render(view);
    }
    if (FINAL[view.status]) stop('final: this page no longer updates');
    else say('updates every ' + view.every_s + ' s');
  };

  var resizeTimer = null;
  window.addEventListener('resize', function () {
    clearTimeout(resizeTimer);
    resizeTimer = setTimeout(function () {
      state.charts.forEach(function (entry) {
        entry.u.setSize({ width: chartWidth(entry.cell), height: CHART_HEIGHT });
      });
    }, 150);
  });

  var first = JSON.parse(byId('qarvel-live').textContent);
  render(first);
  if (FINAL[first.status]) {
    stop('final: this page no longer updates');
  } else {
    say('updates every ' + first.every_s + ' s');
    schedule();
  }
})();
