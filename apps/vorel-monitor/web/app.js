// vorel-monitor's live web view: the rows the server sends over the
// WebSocket (web_feed.h) kept for the last minute and drawn with uPlot at the
// browser's frame rate; the status line and health figures from the server's
// status messages. The page only listens: it sends nothing to the server.
"use strict";

(() => {
  const KEEP_S = 60;
  const STAGES = [
    ["raw", "raw"], ["comp", "compensated"], ["tool", "tool"],
    ["filt", "filtered"], ["setpoint", "set-point"],
  ];
  const SHOWN_STAGES = new Set(["filt", "setpoint"]);
  const AXIS_COLOURS = ["#d62728", "#2ca02c", "#1f77b4"];
  const STAGE_DASH = { raw: [2, 3], comp: [6, 3], tool: [8, 3, 2, 3], filt: [], setpoint: [12, 4] };
  const FC_STATES = ["idle", "active", "returning", "suspended"];
  const SUPERVISOR_STATES = ["ok", "stale", "faulted", "not running"];
  const LIMITS = ["translational speed", "rotational speed", "translational envelope",
    "rotational envelope"];
  const EVENTS = ["stale trip", "cycle failure", "limit binds", "program terminated", "request"];
  const RAD_TO_DEG = 180 / Math.PI;

  const $ = (id) => document.getElementById(id);
  let fields = [];
  let index = {};
  let columns = {};
  let maxRows = 6000;
  let received = 0;
  let lastEvent = null;
  let windowS = Number($("window").value);
  let paused = false;
  let dirty = false;
  let plots = [];

  const bitNames = (bits, names) => names.filter((_, i) => bits & (1 << i));
  const fixed = (v, digits) => (v === null || v === undefined ? "–" : v.toFixed(digits));

  function resetColumns() {
    columns = {};
    for (const name of [...fields, "off_x_mm", "off_y_mm", "off_z_mm", "off_roll_deg",
      "off_pitch_deg", "off_yaw_deg"]) {
      columns[name] = [];
    }
    received = 0;
    lastEvent = null;
  }

  function append(rows) {
    const scaled = [["off_x_mm", "offset_x_m", 1000], ["off_y_mm", "offset_y_m", 1000],
      ["off_z_mm", "offset_z_m", 1000], ["off_roll_deg", "offset_roll_rad", RAD_TO_DEG],
      ["off_pitch_deg", "offset_pitch_rad", RAD_TO_DEG], ["off_yaw_deg", "offset_yaw_rad", RAD_TO_DEG]];
    for (const row of rows) {
      fields.forEach((name, i) => columns[name].push(row[i]));
      for (const [to, from, factor] of scaled) {
        const v = row[index[from]];
        columns[to].push(v === null ? null : v * factor);
      }
      const events = row[index.events];
      if (events) lastEvent = { names: bitNames(events, EVENTS), t: row[index.t_s] };
    }
    received += rows.length;
    const excess = columns.cycle.length - maxRows;
    if (excess > maxRows / 10) {
      for (const name in columns) columns[name].splice(0, excess);
    }
    dirty = true;
  }

  function stageSeries(first) {
    const series = [];
    for (const [stage, label] of STAGES) {
      ["x", "y", "z"].forEach((axis, i) => {
        series.push({
          key: `${stage}_${first}${axis}`,
          label: `${label} ${first}${axis}`,
          stroke: AXIS_COLOURS[i],
          dash: STAGE_DASH[stage],
          width: stage === "filt" ? 2 : 1,
          stage,
        });
      });
    }
    return series;
  }

  const stepped = () => uPlot.paths.stepped({ align: 1 });
  const plotLayouts = [
    { el: "plot-force", unit: "N", series: stageSeries("f") },
    { el: "plot-torque", unit: "N m", series: stageSeries("t") },
    {
      el: "plot-offset", unit: "mm", unit2: "deg",
      series: [
        { key: "off_x_mm", label: "x mm", stroke: AXIS_COLOURS[0] },
        { key: "off_y_mm", label: "y mm", stroke: AXIS_COLOURS[1] },
        { key: "off_z_mm", label: "z mm", stroke: AXIS_COLOURS[2] },
        { key: "off_roll_deg", label: "roll deg", stroke: AXIS_COLOURS[0], dash: [6, 3], scale: "deg" },
        { key: "off_pitch_deg", label: "pitch deg", stroke: AXIS_COLOURS[1], dash: [6, 3], scale: "deg" },
        { key: "off_yaw_deg", label: "yaw deg", stroke: AXIS_COLOURS[2], dash: [6, 3], scale: "deg" },
      ],
    },
    {
      el: "plot-state", unit: "state", range: [-0.2, 3.4], unit2: "limit bits", range2: [-0.5, 15.5],
      series: [
        { key: "fc_state", label: "force control", stroke: "#1f77b4", paths: stepped,
          value: (u, v) => (v === null ? "–" : FC_STATES[v] || v) },
        { key: "supervisor_state", label: "supervisor", stroke: "#d62728", paths: stepped,
          value: (u, v) => (v === null ? "–" : SUPERVISOR_STATES[v] || v) },
        { key: "limits_bound", label: "limits bound", stroke: "#ff7f0e", paths: stepped,
          scale: "limit bits",
          value: (u, v) => (v === null ? "–" : bitNames(v, LIMITS).join(", ") || "none") },
      ],
    },
  ];

  function plotWidth(el) {
    return Math.max(320, $(el).clientWidth || 560);
  }

  function makePlots() {
    for (const p of plots) p.u.destroy();
    plots = plotLayouts.map((layout) => {
      const scales = {
        x: { time: false, range: (u, min, max) => [max - windowS, max] },
        [layout.unit]: layout.range ? { range: layout.range } : {},
      };
      const axes = [{ label: "controller time, s" }, { scale: layout.unit, label: layout.unit }];
      if (layout.unit2) {
        scales[layout.unit2] = layout.range2 ? { range: layout.range2 } : {};
        axes.push({ scale: layout.unit2, label: layout.unit2, side: 1, grid: { show: false } });
      }
      const opts = {
        width: plotWidth(layout.el),
        height: 220,
        scales,
        axes,
        series: [{ label: "t s", value: (u, v) => fixed(v, 3) }].concat(layout.series.map((s) => ({
          label: s.label,
          stroke: s.stroke,
          dash: s.dash,
          width: s.width || 1,
          show: s.stage ? SHOWN_STAGES.has(s.stage) : true,
          scale: s.scale || layout.unit,
          paths: s.paths ? s.paths() : undefined,
          value: s.value || ((u, v) => fixed(v, 3)),
          spanGaps: false,
        }))),
        legend: { live: true },
      };
      return { layout, u: new uPlot(opts, dataOf(layout), $(layout.el)) };
    });
  }

  function dataOf(layout) {
    return [columns.t_s || []].concat(layout.series.map((s) => columns[s.key] || []));
  }

  function draw() {
    dirty = false;
    for (const p of plots) p.u.setData(dataOf(p.layout));
    const n = columns.cycle.length;
    const last = $("last");
    last.dataset.points = String(n);
    last.dataset.received = String(received);
    if (n === 0) {
      last.dataset.cycle = "";
      last.dataset.fz = "";
      last.textContent = "no cycle yet";
      return;
    }
    const fz = columns.filt_fz[n - 1];
    last.dataset.cycle = String(columns.cycle[n - 1]);
    last.dataset.fz = fz === null ? "" : String(fz);
    last.textContent = `cycle ${columns.cycle[n - 1]}, t = ${fixed(columns.t_s[n - 1], 3)} s: ` +
      `filtered fz ${fixed(fz, 3)} N`;
    $("last-event").textContent = lastEvent
      ? `${lastEvent.names.join(", ")} at t = ${fixed(lastEvent.t, 3)} s` : `none in ${KEEP_S} s`;
  }

  function frame() {
    if (dirty && !paused && plots.length) draw();
    requestAnimationFrame(frame);
  }

  function showStatus(s) {
    const banner = $("recorder");
    const r = s.recorder;
    banner.className = r.advancing ? "banner" : "banner stopped";
    banner.textContent = r.advancing ? "recorder: advancing" : `recorder: STOPPED: ${r.message}`;
    if (!s.force_control) return;
    const fc = s.force_control;
    $("fc-state").textContent = fc.state + (fc.offset_sent ? ", offset sent" : "");
    $("supervisor-state").textContent = s.supervisor.state;
    const age = s.supervisor.sample_age_s;
    $("sample-age").textContent = age === null || age < 0 ? "no sample yet" : `${fixed(age * 1000, 0)} ms`;
    $("limits").textContent = fc.limits_bound.join(", ") || "none";
    const h = s.health;
    $("usable").textContent = fixed(h.usable_samples_per_second, 0);
    $("frames").textContent = String(h.frames_published);
    $("crc").textContent = String(h.crc_errors);
    $("lost-sync").textContent = String(h.lost_sync_events);
    $("last-status").textContent = "0x" + h.last_status.toString(16).padStart(2, "0");
  }

  function notice(text) {
    const el = $("notice");
    el.hidden = false;
    el.textContent = text;
  }

  function onMessage(event) {
    const m = JSON.parse(event.data);
    if (m.type === "hello") {
      fields = m.fields;
      index = Object.fromEntries(fields.map((name, i) => [name, i]));
      maxRows = Math.ceil(KEEP_S / (m.cycle_time_s * m.decimation));
      $("version").textContent = m.version;
      $("source").textContent = `${m.recorder}, host pid ${m.writer_pid}`;
      resetColumns();
      makePlots();
    } else if (m.type === "cycles") {
      append(m.rows);
    } else if (m.type === "status") {
      showStatus(m);
    } else if (m.type === "renewed" || m.type === "refused") {
      notice(m.message);
    }
  }

  function connect() {
    const scheme = location.protocol === "https:" ? "wss:" : "ws:";
    const socket = new WebSocket(`${scheme}//${location.host}/ws`);
    socket.onmessage = onMessage;
    socket.onclose = () => {
      const banner = $("recorder");
      banner.className = "banner disconnected";
      banner.textContent = "disconnected from vorel-monitor: reconnecting…";
      setTimeout(connect, 1000);
    };
  }

  function buildStageToggles() {
    for (const [stage, label] of STAGES) {
      const box = document.createElement("input");
      box.type = "checkbox";
      box.checked = SHOWN_STAGES.has(stage);
      box.addEventListener("change", () => {
        if (box.checked) SHOWN_STAGES.add(stage); else SHOWN_STAGES.delete(stage);
        for (const p of plots) {
          p.layout.series.forEach((s, i) => {
            if (s.stage === stage) p.u.setSeries(i + 1, { show: box.checked });
          });
        }
      });
      const wrap = document.createElement("label");
      wrap.append(box, ` ${label}`);
      $("stages").append(wrap);
    }
  }

  $("window").addEventListener("change", (e) => {
    windowS = Number(e.target.value);
    dirty = true;
  });
  $("pause").addEventListener("click", (e) => {
    paused = !paused;
    e.target.textContent = paused ? "Resume" : "Pause";
    if (!paused) dirty = true;
  });
  window.addEventListener("resize", () => {
    for (const p of plots) p.u.setSize({ width: plotWidth(p.layout.el), height: 220 });
  });

  buildStageToggles();
  connect();
  requestAnimationFrame(frame);
})();
