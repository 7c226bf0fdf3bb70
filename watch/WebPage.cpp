#include "watch/WebPage.h"

namespace tarvolen {
namespace {

const char kProgramTitle[] = "Tarvolen watch";
// Where the page's template takes the camera's name.
const char kTitleMark[] = "@TITLE@";
const char kHeadingMark[] = "@HEADING@";

// The name is the operator's text: shown, never read as markup.
std::string htmlEscaped(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

void replaceMark(std::string& page, const std::string& mark, const std::string& text) {
    page.replace(page.find(mark), mark.size(), text);
}

const std::string& pageTemplate() {
    static const std::string html = R"HTML(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>@TITLE@</title>
<link rel="stylesheet" href="/app.css">
<script src="/app.js" defer></script>
</head>
<body>
<header>
  <h1>@HEADING@</h1>
  <span id="source" class="muted"></span>
</header>
<main>
  <section class="live">
    <img id="live" alt="live picture" src="/snapshot.jpg">
    <p id="live-note" class="muted"></p>
  </section>
  <section class="facts">
    <dl>
      <dt>Source</dt><dd id="state">&hellip;</dd>
      <dt>Frames per second</dt><dd id="fps">&hellip;</dd>
      <dt>Event</dt><dd id="open-event">&hellip;</dd>
      <dt>Events logged</dt><dd id="event-count">&hellip;</dd>
      <dt>Folder</dt><dd><span id="folder">&hellip;</span><div class="bar"><div id="folder-bar"></div></div></dd>
      <dt>Updated</dt><dd id="updated" class="muted">&hellip;</dd>
    </dl>
  </section>
</main>
<section id="player" class="player" hidden>
  <div class="player-head">
    <span id="player-title" class="when"></span>
    <a id="player-link" download></a>
    <span class="buttons">
      <button id="player-full" type="button" hidden>Full screen</button>
      <button id="player-close" type="button">Close</button>
    </span>
  </div>
  <div id="player-screen" class="screen">
    <video id="player-video" controls controlslist="nofullscreen" playsinline preload="metadata"></video>
    <canvas id="player-boxes"></canvas>
  </div>
  <p id="player-note" class="muted"></p>
</section>
<h2>Latest events</h2>
<p id="no-events" class="muted" hidden>No events yet.</p>
<section id="events" class="cards"></section>
<footer class="muted" id="version"></footer>
</body>
</html>
)HTML";
    return html;
}

}  // namespace

std::string webPageHtml(const std::string& cameraName) {
    std::string page = pageTemplate();
    const std::string name = htmlEscaped(cameraName);
    replaceMark(page, kTitleMark, name.empty() ? kProgramTitle : name + " \u2013 " + kProgramTitle);
    replaceMark(page, kHeadingMark, name.empty() ? kProgramTitle : name);
    return page;
}

const std::string& webPageStyle() {
    static const std::string css = R"CSS(
:root { color-scheme: dark; }
body { margin: 0; padding: 0 1.2rem 1.2rem; background: #16191d; color: #e3e6ea;
       font: 15px/1.45 system-ui, sans-serif; }
header { display: flex; align-items: baseline; gap: 1rem; flex-wrap: wrap; }
h1 { font-size: 1.3rem; margin: .8rem 0; }
h2 { font-size: 1.1rem; margin: 1.2rem 0 .6rem; }
.muted { color: #8d96a0; }
main { display: flex; gap: 1.2rem; flex-wrap: wrap; align-items: flex-start; }
.live { flex: 3 1 480px; margin: 0; }
.live img { width: 100%; background: #000; border-radius: 6px; display: block; min-height: 120px; }
.facts { flex: 1 1 260px; background: #1f242a; border-radius: 6px; padding: .4rem 1rem; }
dt { color: #8d96a0; font-size: .85rem; margin-top: .6rem; }
dd { margin: 0; font-size: 1.05rem; }
.up { color: #6cd38a; } .lost { color: #ff7b72; } .starting { color: #e3b341; }
.bar { height: 6px; background: #30363d; border-radius: 3px; margin-top: .3rem; overflow: hidden; }
.bar div { height: 100%; width: 0; background: #58a6ff; }
.cards { display: grid; grid-template-columns: repeat(auto-fill, minmax(230px, 1fr)); gap: .9rem; }
.card { background: #1f242a; border-radius: 6px; overflow: hidden; }
.card img, .card .nopic { width: 100%; aspect-ratio: 4 / 3; object-fit: cover; display: block; background: #0d1014; }
.card .nopic { display: flex; align-items: center; justify-content: center; color: #8d96a0; }
.card .text { padding: .5rem .7rem .7rem; }
.card .when { font-weight: 600; }
.card .actions { display: flex; gap: .6rem; align-items: baseline; margin-top: .3rem; }
a { color: #58a6ff; overflow-wrap: anywhere; }
button { font: inherit; color: inherit; background: #30363d; border: 0; border-radius: 4px; padding: .15rem .7rem;
         cursor: pointer; }
button:hover { background: #3d444d; }
.player { margin-top: 1.2rem; background: #1f242a; border-radius: 6px; padding: .6rem .8rem; }
.player-head { display: flex; gap: 1rem; align-items: baseline; flex-wrap: wrap; margin-bottom: .5rem; }
.player-head .buttons { margin-left: auto; display: flex; gap: .5rem; }
.player p { margin: .4rem 0 0; }
.screen { position: relative; background: #000; }
.screen video { display: block; width: 100%; aspect-ratio: 16 / 9; max-height: 75vh; object-fit: contain;
               background: #000; }
.screen:fullscreen video { height: 100%; max-height: none; aspect-ratio: auto; }
.screen canvas { position: absolute; left: 0; top: 0; pointer-events: none; }
footer { margin-top: 1.5rem; font-size: .8rem; }
)CSS";
    return css;
}

const std::string& webPageScript() {
    static const std::string js = R"JS('use strict';
// Everything shown comes from the API and is put in as text, never as markup.
const STATUS_EVERY_MS = 2000;
const EVENTS_EVERY_MS = 5000;
const SNAPSHOT_EVERY_MS = 1000;
const EVENTS_SHOWN = 24;
// Boxes over a playing clip: their colour and line width (CSS pixels), and
// the slack that lets a frame's time, rounded in the box file, still count
// as at or before the moment shown.
const BOX_COLOUR = '#ff3b30';
const BOX_LINE_PX = 2;
const BOX_TIME_SLACK_MS = 1;
// Clips a browser may play, by extension; Motion-JPEG AVI is none of them.
const PLAYABLE_TYPES = { '.mp4': 'video/mp4', '.mkv': 'video/x-matroska' };

const $ = (id) => document.getElementById(id);

function timeText(iso) {
  if (!iso) return '';
  const t = new Date(iso);
  return isNaN(t) ? iso : t.toLocaleString();
}

function secondsText(s) {
  if (s === null || s === undefined || isNaN(s)) return '';
  if (s < 90) return s.toFixed(1) + ' s';
  if (s < 5400) return (s / 60).toFixed(1) + ' min';
  return (s / 3600).toFixed(1) + ' h';
}

function objectsText(n) {
  return n + (n === 1 ? ' object' : ' objects');
}

function bytesText(n) {
  const units = ['B', 'KB', 'MB', 'GB', 'TB'];
  let i = 0;
  while (n >= 1024 && i < units.length - 1) { n /= 1024; i++; }
  return (i ? n.toFixed(1) : n) + ' ' + units[i];
}

function showState(s) {
  const el = $('state');
  el.className = s.state;
  if (s.state === 'up') {
    el.textContent = s.last_outage_seconds !== null && s.last_outage_seconds !== undefined
      ? 'up, back after ' + secondsText(s.last_outage_seconds) + ' (' + timeText(s.state_since) + ')'
      : 'up since ' + timeText(s.state_since);
  } else if (s.state === 'lost') {
    el.textContent = 'lost since ' + timeText(s.state_since);
  } else {
    el.textContent = 'starting';
  }
}

function showStatus(s) {
  $('source').textContent = s.source || '';
  showState(s);
  $('fps').textContent = typeof s.fps === 'number' ? s.fps.toFixed(1) + '  (' + s.frames_read + ' frames read)' : '';
  $('open-event').textContent = s.open_event
    ? 'open since ' + timeText(s.open_event.start) + ', peak ' + objectsText(s.open_event.peak_objects)
    : 'none open';
  $('event-count').textContent = String(s.events);
  const cap = s.folder_cap_bytes;
  $('folder').textContent = bytesText(s.folder_bytes) + (cap > 0 ? ' of ' + bytesText(cap) : ' (no cap)');
  $('folder-bar').style.width = cap > 0 ? Math.min(100, 100 * s.folder_bytes / cap) + '%' : '0';
  $('updated').textContent = timeText(s.updated);
  $('version').textContent = s.version ? 'tarvolen-watch ' + s.version : '';
}

function card(e) {
  const box = document.createElement('article');
  box.className = 'card';
  if (e.snapshot) {
    const img = document.createElement('img');
    img.src = '/snapshots/' + encodeURIComponent(e.snapshot);
    img.alt = 'snapshot of the event';
    box.appendChild(img);
  } else {
    const none = document.createElement('div');
    none.className = 'nopic';
    none.textContent = 'no snapshot';
    box.appendChild(none);
  }
  const text = document.createElement('div');
  text.className = 'text';
  const when = document.createElement('div');
  when.className = 'when';
  when.textContent = timeText(e.start);
  const facts = document.createElement('div');
  const seconds = (new Date(e.end) - new Date(e.start)) / 1000;
  facts.textContent = secondsText(seconds) + ', peak ' + objectsText(e.max_objects);
  const actions = document.createElement('div');
  actions.className = 'actions';
  if (playable(e.file)) {
    const play = document.createElement('button');
    play.type = 'button';
    play.className = 'play';
    play.textContent = 'Play';
    play.addEventListener('click', () => openPlayer(e));
    actions.appendChild(play);
  }
  const link = document.createElement('a');
  link.href = '/clips/' + encodeURIComponent(e.file);
  link.textContent = e.file;
  actions.appendChild(link);
  text.append(when, facts, actions);
  box.appendChild(text);
  return box;
}

// --- the player -----------------------------------------------------------
// A clip plays on the page; its box file, when it has one, is drawn over it:
// at each moment the boxes of the latest detected frame at or before it.

function playable(file) {
  if (typeof file !== 'string') return false;
  const type = PLAYABLE_TYPES[file.slice(file.lastIndexOf('.'))];
  return !!type && $('player-video').canPlayType(type) !== '';
}

const finite = (n) => typeof n === 'number' && isFinite(n);

// The box file as {width, height, frames: [{t, boxes}]} sorted by time, or
// null when it is not one. It comes from disk and may be damaged: frames and
// boxes that are not as they should be are left out.
function readBoxes(doc) {
  if (!doc || typeof doc !== 'object' || !finite(doc.width) || !finite(doc.height) || doc.width <= 0 ||
      doc.height <= 0 || !Array.isArray(doc.frames)) {
    return null;
  }
  const frames = [];
  for (const frame of doc.frames) {
    if (!frame || !finite(frame.time_ms) || !Array.isArray(frame.boxes)) continue;
    const boxes = frame.boxes.filter((b) => Array.isArray(b) && b.length === 4 && b.every(finite));
    frames.push({ t: frame.time_ms, boxes });
  }
  frames.sort((a, b) => a.t - b.t);
  return { width: doc.width, height: doc.height, frames };
}

// The index of the last frame at or before `ms`; -1 when there is none.
function latestFrame(frames, ms) {
  let low = 0;
  let high = frames.length;
  while (low < high) {
    const middle = (low + high) >> 1;
    if (frames[middle].t <= ms) low = middle + 1; else high = middle;
  }
  return low - 1;
}

let clipBoxes = null;
// Which opening of the player a box file that arrives belongs to.
let playerOpening = 0;
let frameCallback = 0;
// The box file counts from the clip's first frame, which need not be shown at
// 0 s (B-frames put it a frame or two later): the time of the first frame the
// video shows after opening, unless a seek came first; 0 where the browser
// does not tell.
let firstFrameTime = 0;
let firstFrameDue = false;

// Draws the boxes of the moment `seconds` (the frame shown; the current time
// when not given) over the picture, which the element letterboxes.
function drawBoxes(seconds) {
  const video = $('player-video');
  const canvas = $('player-boxes');
  const width = video.clientWidth;
  const height = video.clientHeight;
  const ratio = window.devicePixelRatio || 1;
  if (canvas.width !== Math.round(width * ratio) || canvas.height !== Math.round(height * ratio)) {
    canvas.width = Math.round(width * ratio);
    canvas.height = Math.round(height * ratio);
    canvas.style.width = width + 'px';
    canvas.style.height = height + 'px';
  }
  const g = canvas.getContext('2d');
  g.setTransform(1, 0, 0, 1, 0, 0);
  g.clearRect(0, 0, canvas.width, canvas.height);
  if (!clipBoxes || !video.videoWidth || !video.videoHeight) return;
  const ms = ((seconds === undefined ? video.currentTime : seconds) - firstFrameTime) * 1000;
  const index = latestFrame(clipBoxes.frames, ms + BOX_TIME_SLACK_MS);
  if (index < 0) return;
  const scale = Math.min(width / video.videoWidth, height / video.videoHeight);
  const pictureWidth = video.videoWidth * scale;
  const pictureHeight = video.videoHeight * scale;
  const left = (width - pictureWidth) / 2;
  const top = (height - pictureHeight) / 2;
  const sx = pictureWidth / clipBoxes.width;
  const sy = pictureHeight / clipBoxes.height;
  g.setTransform(ratio, 0, 0, ratio, 0, 0);
  g.lineWidth = BOX_LINE_PX;
  g.strokeStyle = BOX_COLOUR;
  for (const [x, y, w, h] of clipBoxes.frames[index].boxes) g.strokeRect(left + x * sx, top + y * sy, w * sx, h * sy);
}

// Each frame the video shows, where the browser tells of them.
function followFrames() {
  const video = $('player-video');
  if (!video.requestVideoFrameCallback) return;
  video.cancelVideoFrameCallback(frameCallback);
  const onFrame = (now, frame) => {
    if (firstFrameDue) firstFrameTime = frame.mediaTime;
    firstFrameDue = false;
    drawBoxes(frame.mediaTime);
    frameCallback = video.requestVideoFrameCallback(onFrame);
  };
  frameCallback = video.requestVideoFrameCallback(onFrame);
}

async function loadBoxes(name, opening) {
  let boxes = null;
  try {
    boxes = readBoxes(await getJson('/boxes/' + encodeURIComponent(name)));
  } catch (error) {
    boxes = null;
  }
  if (opening !== playerOpening) return;
  if (!boxes) $('player-note').textContent = 'The boxes of this clip could not be read; it plays without them.';
  clipBoxes = boxes;
  drawBoxes();
}

function openPlayer(e) {
  const video = $('player-video');
  const opening = ++playerOpening;
  clipBoxes = null;
  firstFrameTime = 0;
  firstFrameDue = true;
  $('player').hidden = false;
  $('player-title').textContent = timeText(e.start);
  $('player-link').href = '/clips/' + encodeURIComponent(e.file);
  $('player-link').textContent = e.file;
  $('player-note').textContent = '';
  video.src = '/clips/' + encodeURIComponent(e.file);
  drawBoxes();
  followFrames();
  // Started by a click; should the browser still refuse, the controls are there.
  video.play().catch(() => {});
  if (e.boxes) loadBoxes(e.boxes, opening);
  $('player').scrollIntoView({ block: 'nearest' });
}

function closePlayer() {
  const video = $('player-video');
  ++playerOpening;
  clipBoxes = null;
  video.pause();
  video.removeAttribute('src');
  video.load();
  drawBoxes();
  $('player').hidden = true;
  if (document.fullscreenElement) document.exitFullscreen().catch(() => {});
}

function setUpPlayer() {
  const video = $('player-video');
  const redraw = () => drawBoxes();
  // While frames are followed one by one, the coarser timeupdate would only
  // draw a moment that is not on the screen.
  video.addEventListener('timeupdate', () => { if (!video.requestVideoFrameCallback || video.paused) redraw(); });
  for (const name of ['seeked', 'loadedmetadata', 'pause']) video.addEventListener(name, redraw);
  video.addEventListener('seeking', () => { firstFrameDue = false; });
  // An unknown codec fails at once; a clip cut short (its recorder killed)
  // where its last piece breaks off.
  video.addEventListener('error', () => {
    if (!video.getAttribute('src')) return;
    const at = video.currentTime > 0 ? ' beyond ' + secondsText(video.currentTime) : '';
    $('player-note').textContent = 'The browser cannot play this clip' + at + '; the link above downloads it.';
  });
  if (window.ResizeObserver) new ResizeObserver(redraw).observe(video); else window.addEventListener('resize', redraw);
  $('player-close').addEventListener('click', closePlayer);
  const full = $('player-full');
  full.hidden = !document.fullscreenEnabled;
  full.addEventListener('click', () => {
    if (document.fullscreenElement) document.exitFullscreen().catch(() => {});
    else $('player-screen').requestFullscreen().catch(() => {});
  });
}

// Cards are rebuilt only when the list changed, so that their pictures do
// not load again (and flicker) on every refresh.
let shownEvents = '';

function showEvents(list) {
  const key = JSON.stringify(list);
  if (key === shownEvents) return;
  shownEvents = key;
  const cards = $('events');
  cards.replaceChildren(...list.map(card));
  $('no-events').hidden = list.length > 0;
}

async function getJson(url) {
  const response = await fetch(url, { credentials: 'same-origin', cache: 'no-store' });
  if (!response.ok) throw new Error(url + ': ' + response.status);
  return response.json();
}

function every(ms, task) {
  const run = () => task().catch(() => {}).finally(() => setTimeout(run, ms));
  run();
}

// The stream first; should it fail (a proxy that buffers, too many viewers)
// the snapshot is fetched again and again instead.
function startLive() {
  const img = $('live');
  let polling = false;
  img.onerror = () => {
    if (polling) return;
    polling = true;
    $('live-note').textContent = 'live stream unavailable; refreshing the picture every second';
    setInterval(() => { img.src = '/snapshot.jpg?t=' + Date.now(); }, SNAPSHOT_EVERY_MS);
  };
  img.src = '/stream.mjpg?width=' + Math.min(1920, Math.round(img.clientWidth * (window.devicePixelRatio || 1)) || 960);
}

setUpPlayer();
every(STATUS_EVERY_MS, async () => showStatus(await getJson('/api/status')));
every(EVENTS_EVERY_MS, async () => showEvents(await getJson('/api/events?limit=' + EVENTS_SHOWN)));
if (document.readyState === 'complete') startLive(); else window.addEventListener('load', startLive);
)JS";
    return js;
}

}  // namespace tarvolen
