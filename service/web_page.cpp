#include "service/web_page.h"

namespace kv::service {

const char* const kPageHtml = R"HTML(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Kestrivane</title>
<link rel="stylesheet" href="/app.css">
<script src="/app.js" defer></script>
</head>
<body>
<header><h1>Kestrivane</h1><span id="link">connecting&hellip;</span></header>
<main id="towers"><p class="none">No Base Controller found.</p></main>
<footer id="message" role="status"></footer>
</body>
</html>
)HTML";

const char* const kPageStyle = R"CSS(
body { font-family: sans-serif; margin: 0; background: #f4f4f4; color: #111; }
header { display: flex; gap: 1em; align-items: baseline; padding: 0.5em 1em; background: #fafafa; border-bottom: 1px solid #000; }
h1 { font-size: 1.2em; margin: 0; }
main { display: flex; flex-wrap: wrap; gap: 2em; padding: 1em; }
.tower { background: #fff; border: 1px solid #888; padding: 1em; }
.tower h2 { font-size: 1em; margin: 0 0 0.5em 0; }
.tower .state { font-weight: normal; color: #555; }
.rows { display: flex; flex-direction: column-reverse; }
.row { display: flex; align-items: center; gap: 0.6em; margin: 0; }
.seg { width: 100px; height: 60px; box-sizing: border-box; border: 1px solid #000; border-bottom: none;
       position: relative; background: #f0f0f0; }
.seg::before { content: ""; position: absolute; left: 0; right: 0; top: 0; height: 6px; background: #fafafa;
               border-bottom: 1px solid #000; }
.seg svg { position: absolute; left: 0; top: 0; }
.base { width: 100px; height: 13px; box-sizing: border-box; border: 1px solid #000; background: #fafafa; }
.row label { font-size: 0.9em; min-width: 5.5em; }
.row select, .row input { font-size: 0.9em; }
.row input[type=number] { width: 4.5em; }
.none { color: #555; }
footer { padding: 0.5em 1em; min-height: 1.2em; }
footer.error { color: #b00; }
)CSS";

const char* const kPageScript = R"JS(
'use strict';
(function () {
  // The token comes in the page's address after '#token='; it is kept for
  // this tab only and taken out of the address bar.
  const match = /(?:^#|&)token=([0-9a-fA-F]{64})/.exec(location.hash);
  if (match) {
    sessionStorage.setItem('kestrivaneToken', match[1]);
    history.replaceState(null, '', location.pathname);
  }
  const token = sessionStorage.getItem('kestrivaneToken') || '';
  const headers = token ? { 'Authorization': 'Bearer ' + token } : {};

  // Body colours of the window's tower picture, on and off.
  const bodies = {
    Red: ['#ff0000', '#ff8080'], Yellow: ['#ffff00', '#feffd3'], Green: ['#00ff00', '#c0ffc0'],
    Blue: ['#4040ff', '#c0c0ff'], White: ['#ffffff', '#dcdcdc'],
  };
  const emptyBody = '#f0f0f0';
  const towers = new Map();
  let patterns = { colour: [], sound: [] };

  function el(tag, attrs, children) {
    const e = document.createElement(tag);
    for (const [k, v] of Object.entries(attrs || {})) {
      if (k === 'text') e.textContent = v; else e.setAttribute(k, v);
    }
    for (const c of children || []) e.appendChild(c);
    return e;
  }

  function say(text, error) {
    const m = document.getElementById('message');
    m.textContent = text;
    m.className = error ? 'error' : '';
  }

  // The loudspeaker of the sound segment: magnet, cone and, when on, waves.
  function speaker(on) {
    const ns = 'http://www.w3.org/2000/svg';
    const svg = document.createElementNS(ns, 'svg');
    svg.setAttribute('width', '100'); svg.setAttribute('height', '60');
    const fill = on ? '#ffffff' : 'none';
    const stroke = on ? '#ffffff' : '#7a7a7a';
    const shape = document.createElementNS(ns, 'path');
    shape.setAttribute('d', 'M30 30 H37 L47 21 V51 L37 42 H30 Z');
    shape.setAttribute('fill', fill); shape.setAttribute('stroke', stroke);
    svg.appendChild(shape);
    if (on) {
      for (const r of [8, 14, 20]) {
        const a = document.createElementNS(ns, 'path');
        const d = r * Math.SQRT1_2;
        a.setAttribute('d', 'M' + (47 + d) + ' ' + (36 - d) + ' A' + r + ' ' + r + ' 0 0 1 ' + (47 + d) + ' ' + (36 + d));
        a.setAttribute('fill', 'none'); a.setAttribute('stroke', '#ffffff'); a.setAttribute('stroke-width', '2.2');
        svg.appendChild(a);
      }
    }
    return svg;
  }

  function picture(seg, sound) {
    const div = el('div', { class: 'seg' });
    if (!seg.present) {
      div.style.background = emptyBody;
    } else if (sound) {
      div.style.background = seg.on ? '#505050' : '#d2d2d2';
      div.appendChild(speaker(seg.on));
    } else {
      const c = bodies[seg.colour] || [emptyBody, emptyBody];
      div.style.background = seg.on ? c[0] : c[1];
    }
    div.dataset.on = seg.present && seg.on ? '1' : '0';
    return div;
  }

  async function write(id, segment, body) {
    say('Sending\u2026', false);
    try {
      const res = await fetch('/api/v1/towers/' + encodeURIComponent(id) + '/segments/' + encodeURIComponent(segment), {
        method: 'PATCH', headers: Object.assign({ 'Content-Type': 'application/json' }, headers),
        body: JSON.stringify(body),
      });
      const answer = await res.json();
      if (res.ok) say('The tower took it.', false); else say(answer.error || ('Error ' + res.status), true);
    } catch (e) {
      say('The service did not answer.', true);
    }
  }

  function controls(id, seg, sound, key) {
    const row = el('div', { class: 'row', 'data-segment': String(key) });
    row.appendChild(picture(seg, sound));
    row.appendChild(el('label', { text: seg.present ? seg.name : '' }));
    if (!seg.present) return row;
    const list = el('select', { 'aria-label': 'pattern' });
    for (const p of sound ? patterns.sound : patterns.colour) {
      const o = el('option', { value: p.name, text: p.name });
      if (p.code === seg.patternCode) o.selected = true;
      list.appendChild(o);
    }
    const level = el('input', { type: 'number', min: '0', max: '200', value: String(seg.level == null ? '' : seg.level), 'aria-label': 'level' });
    const set = el('button', { type: 'button', text: 'Set' });
    set.addEventListener('click', () => {
      const body = { pattern: list.value };
      if (level.value !== '') body.level = Number(level.value);
      write(id, key, body);
    });
    const sw = el('button', { type: 'button', class: 'switch', text: seg.on ? 'Off' : 'On' });
    sw.addEventListener('click', () => write(id, key, { on: !seg.on }));
    row.appendChild(list); row.appendChild(level); row.appendChild(el('span', { text: '%' }));
    row.appendChild(set); row.appendChild(sw);
    return row;
  }

  function draw(id) {
    const t = towers.get(id);
    const main = document.getElementById('towers');
    let box = document.getElementById('tower-' + id);
    if (!box) {
      box = el('section', { class: 'tower', id: 'tower-' + id });
      main.appendChild(box);
    }
    for (const p of main.querySelectorAll('.none')) p.remove();
    box.replaceChildren();
    box.appendChild(el('h2', { text: 'Tower ' + id + ' ' }, [el('span', { class: 'state', text: t.state })]));
    if (!t.status || !t.status.segments) return;
    const rows = el('div', { class: 'rows' });
    rows.appendChild(el('div', { class: 'base' }));
    for (const seg of t.status.segments) rows.appendChild(controls(id, seg, false, seg.position));
    rows.appendChild(controls(id, t.status.sound, true, 'sound'));
    box.appendChild(rows);
  }

  function onEvent(e) {
    if (e.event === 'towers') {
      for (const c of e.list.baseControllers) {
        const t = towers.get(c.id) || {};
        t.state = c.state;
        if (c.state !== 'online') t.status = null;
        towers.set(c.id, t);
        draw(c.id);
      }
    } else if (e.event === 'state') {
      towers.set(e.tower, { state: 'online', status: e.status });
      draw(e.tower);
    } else if (e.tower !== undefined) {
      const states = { lost: 'lost', arrived: 'connecting', inaccessible: 'inaccessible', held: 'held', firmwareDiffers: 'firmwareDiffers', update: 'updating' };
      towers.set(e.tower, { state: states[e.event] || e.event, status: null });
      draw(e.tower);
    }
  }

  async function start() {
    try {
      const res = await fetch('/api/v1/patterns', { headers });
      if (res.ok) patterns = await res.json();
    } catch (e) { /* drawn without lists until the stream comes */ }
    const url = '/api/v1/events' + (token ? '?token=' + token : '');
    const source = new EventSource(url);
    source.onopen = () => { document.getElementById('link').textContent = 'live'; };
    source.onerror = () => { document.getElementById('link').textContent = 'reconnecting\u2026'; };
    source.onmessage = (m) => { try { onEvent(JSON.parse(m.data)); } catch (e) { /* a broken line is skipped */ } };
  }
  start();
})();
)JS";

}  // namespace kv::service
