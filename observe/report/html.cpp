#include "html.h"

#include "json_string.h"
#include "svg.h"

namespace observe {

namespace {

/* The page before its data: what it shows, and how it looks on screen and on paper. */
constexpr char page_head[] = R"page(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; img-src data:">
<title>)page";

constexpr char page_style[] = R"page(</title>
<style>
body { font-family: sans-serif; margin: 1em 1.5em; color: #222; background: #fff; }
h1 { font-size: 1.3em; margin: 0 0 .2em; }
h2 { font-size: 1.05em; margin: 1em 0 .3em; }
p.about { margin: 0 0 .6em; color: #444; }
.controls { display: flex; flex-wrap: wrap; gap: .4em; align-items: center; margin: .4em 0; }
button { font: inherit; font-size: .9em; padding: .2em .6em; border: 1px solid #888; border-radius: 3px; background: #f4f4f4; cursor: pointer; }
button:focus-visible, svg:focus-visible, .signal:focus, .fan:focus { outline: 3px solid #1565c0; outline-offset: 1px; }
.legend { display: flex; flex-wrap: wrap; gap: 1.2em; font-size: .9em; margin: .3em 0; align-items: center; }
.legend svg { vertical-align: middle; }
.timeline { display: block; border: 1px solid #ccc; background: #fff; user-select: none; max-width: 100%; height: auto; }
.timeline text { font-size: 12px; fill: #222; }
.timeline .end, .timeline .axis { font-size: 11px; fill: #555; }
.timeline .word { font-size: 11px; fill: #111; pointer-events: none; }
.timeline .signame { font-size: 11px; font-weight: bold; fill: #6a1b9a; }
.timeline .adopted { font-size: 10px; fill: #0b5394; }
.timeline .tick { stroke: #e2e2e2; } .timeline .lane { stroke: #f0f0f0; }
.timeline .cursor { stroke: #1565c0; stroke-width: 1.5; }
.signal { cursor: pointer; }
.signal:hover line, .signal:focus line, .signal.chosen line { stroke-width: 4; }
#explain { min-height: 2.6em; padding: .4em .6em; margin: .4em 0; background: #f6f0fa; border-left: 4px solid #6a1b9a; }
.moment { display: grid; grid-template-columns: minmax(20em, 1fr) minmax(20em, 1fr); gap: 1em; }
pre { background: #111; color: #eee; padding: .5em; margin: 0; max-height: 18em; overflow: auto; white-space: pre-wrap; word-break: break-all; font-size: .85em; }
table { border-collapse: collapse; font-size: .9em; width: 100%; }
#short { margin-bottom: .5em; }
#short th[scope=row] { font-weight: normal; white-space: nowrap; }
td, th { border: 1px solid #ccc; padding: .2em .4em; text-align: left; vertical-align: top; }
td.held { font-family: monospace; white-space: pre-wrap; word-break: break-all; }
#signals { font-size: .9em; padding-left: 1.5em; }
#signals li { margin: .15em 0; }
#signals li.chosen { background: #f6f0fa; }
#log { font-size: .85em; max-height: 22em; overflow: auto; padding-left: 0; list-style: none; border: 1px solid #ddd; }
#log button { display: block; width: 100%; text-align: left; border: 0; border-bottom: 1px solid #eee; background: none; font-family: monospace; border-radius: 0; }
#log button.now { background: #e3f2fd; }
.note { font-size: .85em; color: #555; }
#warnings { color: #b71c1c; font-weight: bold; }
.timeline .discarded { font-size: 10px; fill: #b71c1c; }
.timeline .missing { font-size: 10px; fill: #333; }
.fan { cursor: pointer; }
.fan:hover circle, .fan:focus circle { stroke-width: 4; }
@media print {
  .controls, .note.screen, #explain { display: none; }
  body { margin: 0; }
  .timeline { border: 0; }
  pre { background: #fff; color: #000; border: 1px solid #000; max-height: none; }
  #log { max-height: none; border: 0; }
  * { print-color-adjust: exact; -webkit-print-color-adjust: exact; }
}
</style>
</head>
<body>
<h1 id="title"></h1>
<noscript><p>This page draws the watch with its own script, which needs nothing from the network: allow scripts to see it.</p></noscript>
<p class="about" id="about"></p>
<ul id="warnings"></ul>
<div class="legend" id="legend" aria-label="How to read the timeline"></div>
<h2>In short</h2>
<table id="short"><thead><tr><th scope="col">Process</th><th scope="col">Stopped</th><th scope="col">Signals it took (SIGCHLD aside)</th><th scope="col">Its end</th></tr></thead><tbody></tbody></table>
<h2>The whole watch</h2>
<p class="note screen">Drag across it to enlarge a span below; the span enlarged is outlined.</p>
<svg id="overview" class="timeline" role="group" aria-label="The whole watch: a row per process, its states as bars, signals as arrows"></svg>
<h2 id="detail-title">Enlarged</h2>
<div class="controls" role="toolbar" aria-label="Time span shown enlarged">
<button id="busy" type="button">Where the signals come thick</button>
<button id="whole" type="button">The whole watch</button>
<button id="zoom-in" type="button">Enlarge (+)</button>
<button id="zoom-out" type="button">Shrink (&minus;)</button>
<button id="earlier" type="button">&larr; Earlier</button>
<button id="later" type="button">Later &rarr;</button>
</div>
<p class="note screen">With the enlarged timeline focused: &larr; and &rarr; move the moment shown below (with Shift, in bigger steps), + and &minus; enlarge and shrink around it, Tab goes through the signals.</p>
<svg id="detail" class="timeline" tabindex="0" role="group" aria-label="The span enlarged"></svg>
<div id="explain" aria-live="polite">Point at a signal's arrow, or focus it with Tab, to read what observe made of it.</div>
<h2 id="signals-title">The signals enlarged</h2>
<ol id="signals"></ol>
<h2 id="moment-title">At the moment under the pointer</h2>
<div class="moment">
<div><h2>The job's terminal had shown</h2><pre id="terminal"></pre></div>
<div><h2>Each process's stdout buffer held, written but not delivered</h2><table><thead><tr><th scope="col">Process</th><th scope="col">Buffer</th></tr></thead><tbody id="buffers"></tbody></table></div>
</div>
<h2>What observe said, in order</h2>
<p class="note screen">Choose a line to show its moment.</p>
<ol id="log"></ol>
<script type="application/json" id="watch-data">)page";

constexpr char page_script[] = R"page(</script>
<script>
"use strict";
(function () {
const data = JSON.parse(document.getElementById("watch-data").textContent);
const NS = "http://www.w3.org/2000/svg";
const LOOKS = {
  running: { fill: "#4caf50", pattern: null, word: "running" },
  stopped: { fill: "#f2b33d", pattern: "hatch", word: "stopped" },
  zombie: { fill: "#d9534f", pattern: "dots", word: "zombie (ended, not collected)" },
};
const LABEL = 300, MARGIN = 20, ROW = 32, AXIS = 24, INDENT = 14;
const end = Math.max(1, data.end);
let view = data.busy ? { from: data.busy[0], to: data.busy[1] } : { from: 0, to: end };
/* At first, the end of the busy span; else the middle of the watch, when its processes are about. */
let cursor = data.busy ? data.busy[1] : Math.round(end / 2);

function el(name, attrs, parent) {
  const e = document.createElementNS(NS, name);
  for (const k in attrs) e.setAttribute(k, attrs[k]);
  if (parent) parent.appendChild(e);
  return e;
}
function words(parent, x, y, text, cls, anchor) {
  const t = el("text", { x: x, y: y, class: cls }, parent);
  if (anchor) t.setAttribute("text-anchor", anchor);
  t.textContent = text;
  return t;
}
function node(tag, text, parent) {
  const e = document.createElement(tag);
  e.textContent = text;
  if (parent) parent.appendChild(e);
  return e;
}
function tickStep(span, count) {
  const rough = Math.max(1, span / count);
  const power = Math.pow(10, Math.floor(Math.log10(rough)));
  for (const m of [1, 2, 5, 10]) if (m * power >= rough) return Math.max(1, Math.round(m * power));
  return 10 * power;
}
function seconds(t, step) {
  let places = 0;
  for (let unit = 1e6; places < 6 && step % unit !== 0; unit /= 10) places++;
  return (t / 1e6).toFixed(places) + " s";
}
function rowLabel(r) { return r.job ? r.name + " " + r.pid + " (" + r.place + ")" : r.name; }

function definitions(svg) {
  const defs = el("defs", {}, svg);
  const hatch = el("pattern", { id: svg.id + "-hatch", width: 8, height: 8, patternUnits: "userSpaceOnUse", patternTransform: "rotate(45)" }, defs);
  el("rect", { width: 3, height: 8, fill: "#000", "fill-opacity": 0.35 }, hatch);
  const dots = el("pattern", { id: svg.id + "-dots", width: 6, height: 6, patternUnits: "userSpaceOnUse" }, defs);
  el("circle", { cx: 3, cy: 3, r: 1.4, fill: "#000", "fill-opacity": 0.45 }, dots);
  const missing = el("pattern", { id: svg.id + "-missing", width: 10, height: 10, patternUnits: "userSpaceOnUse", patternTransform: "rotate(-45)" }, defs);
  el("rect", { width: 10, height: 10, fill: "#888", "fill-opacity": 0.12 }, missing);
  el("rect", { width: 2, height: 10, fill: "#555", "fill-opacity": 0.5 }, missing);
  const head = el("marker", { id: svg.id + "-head", viewBox: "0 0 10 10", refX: 9, refY: 5, markerWidth: 7, markerHeight: 7, orient: "auto-start-reverse" }, defs);
  el("path", { d: "M0,0 L10,5 L0,10 z", fill: "#6a1b9a" }, head);
}

/* One timeline over [from, to]: rows, bars, arrows and the cursor. */
function draw(svg, from, to, mark) {
  while (svg.firstChild) svg.removeChild(svg.firstChild);
  const width = Math.max(760, document.body.clientWidth - 4);
  const height = AXIS + data.rows.length * ROW + 8;
  svg.setAttribute("width", width);
  svg.setAttribute("height", height);
  svg.setAttribute("viewBox", "0 0 " + width + " " + height);
  definitions(svg);
  to = Math.max(to, from + 1);
  const x = t => LABEL + (Math.min(Math.max(t, from), to) - from) / (to - from) * (width - MARGIN - LABEL);
  const rowY = i => AXIS + i * ROW;
  svg.timeAt = px => from + (px - LABEL) / (width - MARGIN - LABEL) * (to - from);
  const step = tickStep(to - from, Math.max(3, Math.floor((width - LABEL) / 120)));
  for (let t = Math.ceil(from / step) * step; t <= to; t += step) {
    el("line", { class: "tick", x1: x(t), x2: x(t), y1: AXIS - 6, y2: height }, svg);
    words(svg, x(t), AXIS - 9, seconds(t, step), "axis", "middle");
  }
  if (mark) {
    const left = x(mark.from) - 2;
    el("rect", { x: left, y: AXIS - 4, width: Math.max(4, x(mark.to) - left + 2), height: height - AXIS, fill: "#1565c0", "fill-opacity": 0.08, stroke: "#1565c0", "stroke-dasharray": "3 2" }, svg);
  }
  data.rows.forEach((r, i) => {
    const y = rowY(i);
    const g = el("g", { class: r.job ? "row process" : "row sender", "data-pid": r.pid }, svg);
    const left = MARGIN + INDENT * r.depth;
    /* A long name is cut to its column; whole on hover. */
    const label = rowLabel(r), room = 40 - 2 * r.depth;
    el("title", {}, words(g, left, y + 14, label.length > room ? label.slice(0, room - 1) + "\u2026" : label, "name")).textContent = label;
    if (r.end) words(g, left, y + 27, "ended: " + r.end, "end");
    el("line", { class: "lane", x1: LABEL, x2: width - MARGIN, y1: y + ROW, y2: y + ROW }, g);
    r.states.forEach((s, k) => {
      const begin = s[0];
      const stop = k + 1 < r.states.length ? r.states[k + 1][0] : (r.collected !== null ? r.collected : data.end);
      if (stop < from || begin > to) return;
      const look = LOOKS[s[1]] || LOOKS.running;
      const left = x(begin), w = Math.max(1, x(stop) - left);
      const box = { x: left, y: y + 8, width: w, height: ROW - 14 };
      const bar = el("rect", Object.assign({ class: "state " + s[1], fill: look.fill }, box), g);
      el("title", {}, bar).textContent = rowLabel(r) + ": " + look.word + " from " + seconds(begin, 1) + " to " + seconds(stop, 1);
      if (look.pattern) el("rect", Object.assign({ fill: "url(#" + svg.id + "-" + look.pattern + ")", "pointer-events": "none" }, box), g);
      if (w > 8 * s[1].length) words(g, left + 4, y + 21, s[1], "word");
    });
    r.adoptions.forEach(a => {
      const right = x(a[0]) > width - MARGIN - 110;
      if (a[0] >= from && a[0] <= to) words(g, x(a[0]), y + 6, "\u2191 adopted by " + a[1], "adopted", right ? "end" : null);
    });
  });
  /* Where records may be missing: hatched across every row, named in the first. */
  data.gaps.forEach(p => {
    if (p.until < from || p.from > to) return;
    const left = x(p.from), w = Math.max(3, x(p.until) - left), right = left > width - MARGIN - 170;
    const g = el("g", { class: "gap" }, svg);
    el("title", {}, g).textContent = p.words;
    el("rect", { x: left, y: AXIS, width: w, height: height - AXIS, fill: "url(#" + svg.id + "-missing)", stroke: "#555", "stroke-dasharray": "1 2" }, g);
    words(g, right ? left - 3 : left + 3, AXIS + 11, "\u26a0 " + p.label, "missing", right ? "end" : null);
  });
  /* Names close together go a line further each, in the order of their times, clear of every name already
   * placed near them whichever rows their arrows join; a kill to many is named once, at its sender. */
  const named = [];
  const level = (at, y, away) => {
    for (let n = 0; n < 3; n++) {
      const atY = y + away * 11 * n;
      if (named.every(p => Math.abs(at - p.x) >= 58 || Math.abs(atY - p.y) >= 11)) {
        named.push({ x: at, y: atY });
        return n;
      }
    }
    return -1;
  };
  const shown = [];
  data.arrows.forEach((a, n) => shown.push({ t: a.t, arrow: a, n: n }));
  data.fans.forEach((f, n) => shown.push({ t: f.t, fan: f, n: n }));
  shown.sort((a, b) => a.t - b.t || (a.fan ? -1 : 0) - (b.fan ? -1 : 0));
  const explaining = (g, a) => {
    const show = () => { explain(a); setCursor(a.t, false); };
    g.addEventListener("mouseenter", show);
    g.addEventListener("focus", show);
    g.addEventListener("click", show);
  };
  for (const item of shown) {
    if (item.t < from || item.t > to) continue;
    const at = x(item.t);
    if (item.fan) {
      const f = item.fan, y = rowY(f.from) + ROW / 2;
      const g = el("g", { class: "fan", tabindex: 0, role: "button", "data-index": item.n, "aria-label": f.words }, svg);
      el("title", {}, g).textContent = f.words;
      el("circle", { cx: at, cy: y, r: 5, fill: "#fff", stroke: "#6a1b9a", "stroke-width": 2.5 }, g);
      const n = level(at, y - 4, -1);
      /* Named to its left, where its own arrows are not. */
      const leftEdge = at < LABEL + 200;
      if (n >= 0) words(g, at + (leftEdge ? 8 : -8), y - 4 - 11 * n, f.name + " to " + f.whom, "signame", leftEdge ? null : "end");
      explaining(g, f);
      continue;
    }
    const a = item.arrow;
    let y1 = rowY(a.from) + ROW / 2, y2 = rowY(a.to) + ROW / 2;
    if (a.from === a.to) y1 -= ROW / 2;
    y2 += y1 < y2 ? -4 : 4;
    const g = el("g", { class: "signal", tabindex: 0, role: "button", "data-index": item.n, "aria-label": a.words }, svg);
    el("title", {}, g).textContent = a.words;
    el("line", { x1: at, x2: at, y1: y1, y2: y2, stroke: "transparent", "stroke-width": 10 }, g);
    const line = el("line", { x1: at, x2: at, y1: y1, y2: y2, stroke: "#6a1b9a", "stroke-width": 2, "marker-end": "url(#" + svg.id + "-head)" }, g);
    if (!a.effect) line.setAttribute("stroke-dasharray", "4 3");
    const n = a.fan === null ? level(at, (y1 + y2) / 2 + 4, 1) : -1;
    if (n >= 0) {
      const right = at > width - MARGIN - 70;
      words(g, at + (right ? -4 : 4), (y1 + y2) / 2 + 4 + 11 * n, a.name, "signame", right ? "end" : null);
    }
    explaining(g, a);
  }
  data.discards.forEach((d, n) => {
    if (d.t < from || d.t > to) return;
    const g = el("g", { class: "discard", tabindex: 0, role: "button", "data-index": n, "aria-label": d.words }, svg);
    el("title", {}, g).textContent = d.words;
    words(g, x(d.t), rowY(d.row) + ROW - 1, "\u2715 " + d.name + " discarded", "discarded", x(d.t) > width - MARGIN - 110 ? "end" : null);
    const show = () => { explain(d); setCursor(d.t, false); };
    g.addEventListener("mouseenter", show);
    g.addEventListener("focus", show);
    g.addEventListener("click", show);
  });
  if (cursor >= from && cursor <= to)
    el("line", { class: "cursor", x1: x(cursor), x2: x(cursor), y1: AXIS - 6, y2: height, "pointer-events": "none" }, svg);
}

function explain(a) {
  document.getElementById("explain").textContent = seconds(a.t, 1) + "  " + a.words;
  document.querySelectorAll("#signals li").forEach(li => li.classList.toggle("chosen", li.dataset.words === a.words && li.dataset.t === String(a.t)));
}

/* Every signal of the enlarged span in words, for reading and printing: the arrows' story told in full. */
function listSignals() {
  const list = document.getElementById("signals");
  while (list.firstChild) list.removeChild(list.firstChild);
  let count = 0;
  const told = data.fans.concat(data.arrows, data.discards).filter(a => a.t >= view.from && a.t <= view.to);
  told.sort((a, b) => a.t - b.t);
  for (const a of told) {
    const li = node("li", seconds(a.t, 1) + "  " + a.words, list);
    li.dataset.t = a.t;
    li.dataset.words = a.words;
    count++;
  }
  document.getElementById("signals-title").textContent = count === 0 ? "No signal sent or discarded in the span enlarged" :
    "Signals sent or discarded in the span enlarged: " + count + (data.fans.some(f => f.t >= view.from && f.t <= view.to) ?
      ", each kill to a group counted once besides its members' shares" : "");
}

/* What was so at time t: the terminal's text, each buffer. */
function showMoment() {
  document.getElementById("moment-title").textContent = "At " + seconds(cursor, 1) + ", the moment under the pointer";
  let text = "";
  for (const o of data.output) { if (o[0] > cursor) break; text += o[1]; }
  const terminal = document.getElementById("terminal");
  terminal.textContent = text === "" ? "(nothing yet)" : text.replace(/\r\n/g, "\n").replace(/\r/g, "\n");
  terminal.scrollTop = terminal.scrollHeight;
  const body = document.getElementById("buffers");
  while (body.firstChild) body.removeChild(body.firstChild);
  data.rows.forEach(r => {
    if (!r.job || r.from > cursor || (r.collected !== null && r.collected <= cursor)) return;
    let held = null;
    for (const b of r.buffer) { if (b[0] > cursor) break; held = b[1]; }
    const tr = node("tr", "", body);
    node("td", rowLabel(r), tr);
    const td = node("td", held === null ? "(nothing seen)" : held === "" ? "(empty)" : JSON.stringify(held) + "  (" + held.length + " characters)", tr);
    td.className = "held";
  });
  let now = -1;
  data.said.forEach((s, i) => { if (s[0] <= cursor) now = i; });
  document.querySelectorAll("#log button").forEach((b, i) => b.classList.toggle("now", i === now));
}

/* A line for each process: when it was stopped, what signals did to it, how it ended. */
function summarise() {
  const body = document.querySelector("#short tbody");
  const who = i => data.rows[i].job ? (data.rows[i].place === "program" ? "the program" : data.rows[i].place) :
    data.rows[i].pid === 0 ? "the kernel" : data.rows[i].name;
  data.rows.forEach((r, i) => {
    if (!r.job) return;
    const stops = [];
    r.states.forEach((s, k) => {
      if (s[1] !== "stopped") return;
      const until = k + 1 < r.states.length ? r.states[k + 1][0] : (r.collected !== null ? r.collected : data.end);
      stops.push(seconds(s[0], 1) + " to " + seconds(until, 1));
    });
    const got = [];
    data.arrows.forEach(a => {
      if (a.to !== i || !a.effect || a.name === "SIGCHLD") return;
      let line = a.name + " from " + who(a.from) + " at " + seconds(a.t, 1);
      const cause = a.words.indexOf(a.name + ": ");
      if (cause >= 0) line += ": " + a.words.slice(cause + a.name.length + 2, a.words.lastIndexOf("; "));
      if (a.fan !== null) line += ", in one kill to " + data.fans[a.fan].whom;
      const dropped = data.discards.find(d => d.row === i && d.name === a.name && d.t >= a.t);
      if (dropped) line += " (discarded at " + seconds(dropped.t, 1) + ")";
      got.push(line);
    });
    const tr = node("tr", "", body);
    node("th", rowLabel(r), tr).scope = "row";
    node("td", stops.length ? stops.join("; ") : "never", tr);
    node("td", got.length ? got.join("; ") : "none", tr);
    node("td", r.end ? r.end + " at " + seconds(r.collected, 1) : "alive at the end", tr);
  });
}

function render() {
  draw(document.getElementById("overview"), 0, end, view);
  draw(document.getElementById("detail"), view.from, view.to, null);
  document.getElementById("detail-title").textContent = "Enlarged: " + seconds(view.from, 1) + " to " + seconds(view.to, 1);
  listSignals();
  showMoment();
}
function setView(from, to) {
  const width = Math.min(end, Math.max(10, to - from));
  from = Math.max(0, Math.min(from, end - width));
  view = { from: from, to: from + width };
  render();
}
/* Moves the moment shown; the span follows where asked and the moment has left it. Only a
 * change of span redraws the timelines, so that what has the focus keeps it. */
function setCursor(t, follow) {
  cursor = Math.max(0, Math.min(end, t));
  if (follow && (cursor < view.from || cursor > view.to)) {
    const half = (view.to - view.from) / 2;
    setView(cursor - half, cursor + half);
  } else {
    moveCursor();
  }
}
function zoom(factor) {
  const width = (view.to - view.from) * factor;
  setView(cursor - width / 2, cursor + width / 2);
}
function pan(share) {
  const width = view.to - view.from;
  setView(view.from + width * share, view.to + width * share);
}

function pointerTime(svg, event) {
  const box = svg.getBoundingClientRect();
  return svg.timeAt((event.clientX - box.left) * (svg.viewBox.baseVal.width / box.width));
}

function setup() {
  document.title = "observe: " + data.program;
  document.getElementById("title").textContent = "observe: " + data.program;
  document.getElementById("about").textContent = "A watch of " + data.program + ", " + seconds(data.end, 1000) + " long, its events " +
    (data.exact ? "from the kernel's trace: exact times, and every signal." : "from /proc, sampled every 10 ms: times to within a sample, and no signals.");
  summarise();
  const warnings = document.getElementById("warnings");
  for (const w of data.warnings) node("li", seconds(w[0], 1) + ": " + w[1], warnings);
  const legend = document.getElementById("legend");
  const sample = el("svg", { id: "legend-svg", width: 0, height: 0 }, legend);
  definitions(sample);
  for (const name in LOOKS) {
    const item = node("span", "", legend);
    const svg = el("svg", { width: 28, height: 14, "aria-hidden": "true" }, item);
    el("rect", { width: 28, height: 14, fill: LOOKS[name].fill }, svg);
    if (LOOKS[name].pattern) el("rect", { width: 28, height: 14, fill: "url(#legend-svg-" + LOOKS[name].pattern + ")" }, svg);
    item.appendChild(document.createTextNode(" " + LOOKS[name].word + (LOOKS[name].pattern ? " (" + (name === "stopped" ? "striped" : "dotted") + ")" : " (plain)")));
  }
  node("span", "no bar: not yet there, or collected", legend);
  node("span", "\u2193 a signal, from its sender's row to its target's; dashed where it had no effect", legend);
  if (data.fans.length) node("span", "\u25cb one kill to a process group (or to all): an arrow from it to each member", legend);
  node("span", "\u2715 a signal discarded before it took effect", legend);
  if (data.gaps.length) node("span", "\u26a0 grey hatched span: the kernel dropped records there, or observe did not run", legend);

  const log = document.getElementById("log");
  data.said.forEach(s => {
    const b = node("button", seconds(s[0], data.exact ? 1 : 1000) + "  " + s[1], node("li", "", log));
    b.type = "button";
    b.addEventListener("click", () => setCursor(s[0], true));
  });

  const overview = document.getElementById("overview");
  let dragFrom = null;
  overview.addEventListener("mousedown", e => { dragFrom = pointerTime(overview, e); e.preventDefault(); });
  overview.addEventListener("mouseup", e => {
    if (dragFrom === null) return;
    const t = pointerTime(overview, e);
    const from = Math.min(dragFrom, t), to = Math.max(dragFrom, t);
    dragFrom = null;
    if (to - from > end / 500) setView(from, to);
    else { cursor = t; const half = (view.to - view.from) / 2; setView(t - half, t + half); }
  });
  const detail = document.getElementById("detail");
  let pending = null;
  for (const svg of [overview, detail]) {
    svg.addEventListener("mousemove", e => {
      if (e.target.closest && e.target.closest(".signal")) return;
      const t = pointerTime(svg, e);
      if (pending) return;
      pending = requestAnimationFrame(() => { pending = null; setCursor(t, false); });
    });
  }
  detail.addEventListener("keydown", e => {
    const width = view.to - view.from;
    const steps = { ArrowLeft: -1, ArrowRight: 1 };
    if (e.key in steps) setCursor(cursor + steps[e.key] * width / (e.shiftKey ? 10 : 100), true);
    else if (e.key === "+" || e.key === "=") zoom(0.5);
    else if (e.key === "-") zoom(2);
    else if (e.key === "Home") setCursor(0, true);
    else if (e.key === "End") setCursor(end, true);
    else return;
    e.preventDefault();
  });
  const busy = document.getElementById("busy");
  if (data.busy) busy.addEventListener("click", () => { cursor = data.busy[1]; setView(data.busy[0], data.busy[1]); });
  else busy.hidden = true;
  document.getElementById("whole").addEventListener("click", () => setView(0, end));
  document.getElementById("zoom-in").addEventListener("click", () => zoom(0.5));
  document.getElementById("zoom-out").addEventListener("click", () => zoom(2));
  document.getElementById("earlier").addEventListener("click", () => pan(-0.5));
  document.getElementById("later").addEventListener("click", () => pan(0.5));
  let resized = null;
  window.addEventListener("resize", () => { clearTimeout(resized); resized = setTimeout(render, 100); });
  render();
  document.body.dataset.drawn = "yes";
}

/* Moving the pointer redraws only the cursor and the moment, not every bar. */
function moveCursor() {
  for (const id of ["overview", "detail"]) {
    const svg = document.getElementById(id);
    const line = svg.querySelector(".cursor");
    const box = svg.viewBox.baseVal;
    const from = id === "overview" ? 0 : view.from, to = id === "overview" ? end : Math.max(view.to, view.from + 1);
    const at = LABEL + (cursor - from) / (to - from) * (box.width - MARGIN - LABEL);
    if (line && cursor >= from && cursor <= to) { line.setAttribute("x1", at); line.setAttribute("x2", at); }
    else if (!line && cursor >= from && cursor <= to) el("line", { class: "cursor", x1: at, x2: at, y1: AXIS - 6, y2: box.height, "pointer-events": "none" }, svg);
    else if (line) line.remove();
  }
  showMoment();
}

setup();
})();
</script>
</body>
</html>
)page";

/* Text as HTML character data. */
std::string
html_text(std::string const &bytes)
{
	return xml_text(bytes);
}

std::string
moments(std::vector<Moment> const &list)
{
	std::string out = "[";
	for (auto const &m : list)
		out += (out.size() > 1 ? "," : "") + std::string("[") + std::to_string(m.t) + "," + json_string(m.text) + "]";
	return out + "]";
}

/* The watch as the page's script reads it. */
std::string
page_data(History &history)
{
	std::string rows;
	for (auto const &r : history.rows()) {
		std::string states, adoptions;
		for (auto const &[t, state] : r.states)
			states += (states.empty() ? "[" : ",[") + std::to_string(t) + ",\"" + state_name(state) + "\"]";
		for (auto const &[t, parent] : r.adoptions)
			adoptions += (adoptions.empty() ? "[" : ",[") + std::to_string(t) + "," + std::to_string(parent) + "]";
		rows += std::string(rows.empty() ? "" : ",") + "{\"pid\":" + std::to_string(r.pid) +
			",\"name\":" + json_string(r.name) + ",\"place\":" + json_string(r.place ? place_name(*r.place) : "") +
			",\"depth\":" + std::to_string(r.depth) + ",\"job\":" + (r.of_job() ? "true" : "false") +
			",\"from\":" + std::to_string(r.from) +
			",\"collected\":" + (r.collected ? std::to_string(*r.collected) : "null") +
			",\"end\":" + json_string(r.end) + ",\"states\":[" + states + "],\"adoptions\":[" + adoptions +
			"],\"buffer\":" + moments(r.buffer) + "}";
	}
	std::string arrows;
	for (auto const &a : history.arrows())
		arrows += std::string(arrows.empty() ? "" : ",") + "{\"t\":" + std::to_string(a.t) +
			  ",\"from\":" + std::to_string(a.from) + ",\"to\":" + std::to_string(a.to) +
			  ",\"name\":" + json_string(a.name) + ",\"words\":" + json_string(a.words) +
			  ",\"effect\":" + (a.took_effect ? "true" : "false") +
			  ",\"fan\":" + (a.fan ? std::to_string(*a.fan) : "null") + "}";
	std::string fans;
	for (auto const &f : history.fans())
		fans += std::string(fans.empty() ? "" : ",") + "{\"t\":" + std::to_string(f.t) +
			",\"from\":" + std::to_string(f.from) + ",\"name\":" + json_string(f.name) +
			",\"whom\":" + json_string(f.whom) + ",\"words\":" + json_string(f.words) + "}";
	std::string gaps;
	for (auto const &g : history.gaps())
		gaps += std::string(gaps.empty() ? "" : ",") + "{\"from\":" + std::to_string(g.from) +
			",\"until\":" + std::to_string(g.until) + ",\"label\":" + json_string(g.label) +
			",\"words\":" + json_string(g.words) + "}";
	std::string discards;
	for (auto const &d : history.discards())
		discards += std::string(discards.empty() ? "" : ",") + "{\"t\":" + std::to_string(d.t) +
			    ",\"row\":" + std::to_string(d.row) + ",\"name\":" + json_string(d.name) +
			    ",\"words\":" + json_string(d.words) + "}";
	auto busy = busiest_span(history);
	return "{\"program\":" + json_string(history.program) + ",\"exact\":" + (history.exact ? "true" : "false") +
	       ",\"end\":" + std::to_string(history.end) + ",\"rows\":[" + rows + "],\"arrows\":[" + arrows +
	       "],\"fans\":[" + fans + "],\"gaps\":[" + gaps + "],\"discards\":[" + discards + "],\"warnings\":" + moments(history.warnings()) + ",\"output\":" + moments(history.output()) + ",\"said\":" + moments(history.said()) + ",\"busy\":" +
	       (busy ? "[" + std::to_string(busy->first) + "," + std::to_string(busy->second) + "]" : "null") + "}";
}

} // namespace

std::string
script_safe(std::string const &json)
{
	std::string out;
	for (size_t i = 0; i < json.size(); i++) {
		char c = json[i];
		if (c == '<')
			out += "\\u003c";
		else if (c == '>')
			out += "\\u003e";
		else if (c == '&')
			out += "\\u0026";
		else if (json.compare(i, 3, "\u2028") == 0 || json.compare(i, 3, "\u2029") == 0) {
			out += json[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
			i += 2;
		} else
			out += c;
	}
	return out;
}

void
HtmlReporter::draw(FILE *out, History &history)
{
	fputs(page_head, out);
	fputs(html_text("observe: " + history.program).c_str(), out);
	fputs(page_style, out);
	fputs(script_safe(page_data(history)).c_str(), out);
	fputs(page_script, out);
}

} // namespace observe
