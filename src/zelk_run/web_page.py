"""The page web_view.py serves: all of it here, so that it works with no internet access."""

PAGE = """<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Running program</title>
<style>
  [hidden] { display: none !important; }
  body { font: 15px/1.4 sans-serif; margin: 0; background: #f4f5f7; color: #222; }
  header { display: flex; align-items: center; gap: 1em; padding: .6em 1em;
           background: #27313d; color: #fff; }
  header h1 { font-size: 1.1em; margin: 0; flex: 1; }
  #stop { font-size: 1em; font-weight: bold; padding: .45em 1.2em; border: 0;
          border-radius: 4px; background: #d33; color: #fff; cursor: pointer; }
  #stop:disabled { background: #888; cursor: default; }
  main { display: flex; flex-wrap: wrap; gap: 1em; padding: 1em; align-items: flex-start; }
  #windows { flex: 3 1 420px; display: flex; flex-wrap: wrap; gap: 1em; align-items: flex-start; }
  aside { flex: 1 1 320px; display: flex; flex-direction: column; gap: 1em; }
  figure, section.panel { margin: 0; background: #fff; border-radius: 4px; padding: .5em;
                          box-shadow: 0 1px 3px rgba(0,0,0,.15); }
  figcaption, h2 { font-weight: bold; font-size: 1em; margin: 0 0 .4em; }
  figure img { display: block; width: 360px; max-width: 100%; }
  #top-view { display: block; width: 100%; }
  table { border-collapse: collapse; width: 100%; margin-top: .4em; }
  td { padding: .15em .4em; border-top: 1px solid #eee; font-family: monospace; }
  #trace { height: 18em; overflow-y: auto; margin: 0; font-size: 12px; white-space: pre-wrap; }
  .hint { color: #666; margin: 0 1em 1em; }
</style>
</head>
<body>
<header>
  <h1>Running program</h1>
  <span id="status">running</span>
  <button id="stop" type="button">Stop</button>
</header>
<main>
  <div id="windows"><p id="no-windows">No window shown yet.</p></div>
  <aside>
    <section class="panel" id="world" hidden>
      <h2>World and sensors</h2>
      <img id="top-view" alt="the world seen from above" hidden>
      <table id="sensors"></table>
    </section>
    <section class="panel"><h2>Board</h2><pre id="trace"></pre></section>
  </aside>
</main>
<p class="hint">Keys typed on this page reach the program's cv2.waitKey. Stop ends the
program as Ctrl-C would; the car stops.</p>
<script>
"use strict";
const POLL_MS = 66;
const TRACE_LINES = 300;
const $ = id => document.getElementById(id);
const windows = new Map();  // window name -> {figure, img, number, loading}

// Opened at the address with ?token=... (served to other machines): the server has answered
// with the token as a cookie, so the address bar need not show it.
if (location.search) history.replaceState(null, "", location.pathname);
const trace = [];
let traceCount = 0, topLoading = false, ended = false;

// The code cv2.waitKey gives for the key, or null for keys left to the browser.
function keyCode(e) {
  if (e.ctrlKey || e.altKey || e.metaKey) return null;
  const named = {Enter: 13, Escape: 27, Backspace: 8, Tab: 9};
  if (e.key in named) return named[e.key];
  if (e.key.length === 1 && e.key >= " " && e.key <= "~") return e.key.charCodeAt(0);
  return null;
}

document.addEventListener("keydown", e => {
  const code = keyCode(e);
  if (code === null || ended) return;
  e.preventDefault();  // no scrolling on space, no button pressed by Enter
  fetch("key", {method: "POST", body: String(code)});
});

$("stop").addEventListener("click", () => {
  $("status").textContent = "stopping…";
  fetch("stop", {method: "POST"});
});

function showWindows(list) {
  const names = new Set(list.map(w => w[0]));
  for (const [name, w] of windows) {
    if (!names.has(name)) { w.figure.remove(); windows.delete(name); }
  }
  for (const [name, number] of list) {
    let w = windows.get(name);
    if (!w) {
      const figure = document.createElement("figure");
      const caption = document.createElement("figcaption");
      caption.textContent = name;
      const img = document.createElement("img");
      img.alt = name;
      figure.append(caption, img);
      $("windows").append(figure);
      w = {figure, img, number: 0, loading: false};
      img.onload = img.onerror = () => { w.loading = false; };
      windows.set(name, w);
    }
    // Only a changed picture is fetched, and one at a time: a slow link shows fewer pictures
    // rather than falling behind.
    if (number !== w.number && !w.loading) {
      w.loading = true;
      w.number = number;
      w.img.src = "window.jpg?name=" + encodeURIComponent(name) + "&n=" + number;
    }
  }
  $("no-windows").hidden = windows.size > 0;
}

function showValue(value) {
  if (typeof value === "number") return Number.isInteger(value) ? String(value) : value.toFixed(2);
  if (value && typeof value === "object") {
    return Object.entries(value).map(([k, v]) => (Array.isArray(value) ? "" : k + "=") + showValue(v)).join(" ");
  }
  return String(value);
}

function showWorld(status, hasTopView) {
  $("world").hidden = !status && !hasTopView;
  const rows = Object.entries(status || {}).map(([key, value]) => {
    const row = document.createElement("tr");
    for (const text of [key, showValue(value)]) {
      const cell = document.createElement("td");
      cell.textContent = text;
      row.append(cell);
    }
    return row;
  });
  $("sensors").replaceChildren(...rows);
  $("top-view").hidden = !hasTopView;
  if (hasTopView && !topLoading) {
    topLoading = true;
    $("top-view").src = "top_view.jpg?t=" + Date.now();
  }
}

function showTrace(lines, count) {
  traceCount = count;
  if (!lines.length) return;
  const box = $("trace");
  const atEnd = box.scrollTop + box.clientHeight >= box.scrollHeight - 4;
  trace.push(...lines);
  trace.splice(0, Math.max(0, trace.length - TRACE_LINES));
  box.textContent = trace.join("\\n");
  if (atEnd) box.scrollTop = box.scrollHeight;
}

$("top-view").onload = $("top-view").onerror = () => { topLoading = false; };

async function poll() {
  try {
    const answer = await fetch("state?trace=" + traceCount, {cache: "no-store"});
    const state = await answer.json();
    showWindows(state.windows);
    showWorld(state.world, state.top_view);
    showTrace(state.trace.lines, state.trace.count);
    setTimeout(poll, POLL_MS);
  } catch (e) {
    ended = true;
    $("status").textContent = "the program has ended";
    $("stop").disabled = true;
  }
}
poll();
</script>
</body>
</html>
"""
