// The web control panel: shows the state the program pushes over its WebSocket and sends each
// click as a change to /api/settings. It keeps no state of its own: what it shows is always the
// last state the program sent, so two pages and the window agree.
"use strict";

const $ = (id) => document.getElementById(id);
let state = null;
let cardVersion = 0;

function setRadio(name, value) {
  for (const input of document.querySelectorAll(`input[name="${name}"]`)) {
    input.checked = input.value === String(value);
  }
}

function pairMarks(pairs) {
  const marks = new Array(8).fill(pairs === "all");
  if (pairs !== "all" && pairs !== "none") {
    for (const item of pairs.split(",")) {
      marks[(parseInt(item, 10) - 1) / 2] = true;
    }
  }
  return marks;
}

function render(next) {
  state = next;
  document.title = next.windowTitle || "NDI Lirafon";
  $("title").textContent = next.windowTitle || "QEL NDI Lirafon";
  $("levelLine").textContent = next.levelLine;
  $("frequencyButton").textContent = next.frequencyCaption;
  $("sequenceItem").setAttribute("aria-checked", String(next.frequency === "sequence"));
  setRadio("channels", next.channels);
  const userLevel = /^[+-]?\d+$/.test(next.level);
  setRadio("level", userLevel ? "user" : next.level);
  $("userCaption").textContent = next.userLevelCaption;
  if (document.activeElement !== $("userLevel")) {
    $("userLevel").value = next.userLevelField;
  }
  setRadio("ident", next.ident);
  const marks = pairMarks(next.pairs);
  for (const box of document.querySelectorAll("input[data-pair]")) {
    const pair = Number(box.dataset.pair);
    box.checked = marks[pair];
    box.disabled = pair >= next.channels / 2; // beyond the channel count: greyed, mark kept
  }
  if (document.activeElement !== $("identText")) {
    $("identText").value = next.identText;
  }
  $("showIdentText").checked = next.showIdentText;
  $("fullRateVideo").checked = next.fullRateVideo;
  $("card").src = `/card.png?v=${++cardVersion}`;

  const source = $("source");
  source.replaceChildren();
  const facts = [["Copy", next.copy], ["Source", next.sourceName], ["Runtime", next.runtime],
    ["Destination", next.destination], ["Audio port", next.audioPort],
    ["Video port", next.videoPort], ["SDP file", next.sdpFile]];
  for (const [name, value] of facts) {
    if (value === undefined || value === "" || value === 0) continue;
    const dt = document.createElement("dt");
    dt.textContent = name;
    const dd = document.createElement("dd");
    dd.textContent = String(value);
    source.append(dt, dd);
  }
  const rows = $("channelTable").tBodies[0];
  rows.replaceChildren();
  for (const channel of next.channelTable) {
    const row = rows.insertRow();
    const level = (value) => (value === null ? "silent" : value.toFixed(1));
    const cells = [channel.channel, channel.tone ? "yes" : "no", `${channel.frequencyHz} Hz`,
      level(channel.peakDbfs) + (channel.clipped ? " (clipped)" : ""), level(channel.peakDbu)];
    for (const text of cells) {
      const cell = row.insertCell();
      cell.textContent = String(text);
      if (!channel.tone) cell.className = "off";
    }
  }
  $("panel").setAttribute("aria-busy", "false");
}

async function change(settings) {
  const reply = await fetch("/api/settings", {
    method: "PATCH",
    headers: { "Content-Type": "application/json" },
    body: JSON.stringify(settings),
  });
  const body = await reply.json();
  if (!reply.ok) {
    $("error").textContent = body.error;
    $("error").hidden = false;
    if (state) render(state);
    return;
  }
  $("error").hidden = true;
  render(body);
}

function connect() {
  const socket = new WebSocket(`ws://${location.host}/ws`);
  socket.onopen = () => {
    $("connection").textContent = "connected";
    $("connection").className = "online";
  };
  socket.onmessage = (event) => render(JSON.parse(event.data));
  socket.onclose = () => {
    $("connection").textContent = "disconnected: retrying";
    $("connection").className = "offline";
    setTimeout(connect, 1000);
  };
}

function wire() {
  for (const input of document.querySelectorAll('input[name="channels"]')) {
    input.addEventListener("click", () => change({ channels: Number(input.value) }));
  }
  for (const input of document.querySelectorAll('input[name="level"]')) {
    input.addEventListener("click", () => change({
      level: input.value === "user" ? $("userLevel").value.trim() : input.value,
    }));
  }
  $("userLevel").addEventListener("keydown", (event) => {
    if (event.key === "Enter") change({ level: $("userLevel").value.trim() });
  });
  for (const input of document.querySelectorAll('input[name="ident"]')) {
    input.addEventListener("click", () => change({ ident: input.value }));
  }
  for (const box of document.querySelectorAll("input[data-pair]")) {
    box.addEventListener("click", () => {
      const marks = pairMarks(state.pairs);
      marks[Number(box.dataset.pair)] = box.checked;
      const list = marks.flatMap((on, p) => (on ? [`${2 * p + 1}-${2 * p + 2}`] : []));
      change({ pairs: list.length ? list.join(",") : "none" });
    });
  }
  $("identText").addEventListener("keydown", (event) => {
    if (event.key === "Enter") change({ identText: $("identText").value });
  });
  $("identText").addEventListener("change", () => change({ identText: $("identText").value }));
  $("showIdentText").addEventListener("click", () => change({ showIdentText: $("showIdentText").checked }));
  $("fullRateVideo").addEventListener("click", () => change({ fullRateVideo: $("fullRateVideo").checked }));

  const menu = $("frequencyMenu");
  $("frequencyButton").addEventListener("click", () => {
    menu.hidden = !menu.hidden;
    $("frequencyButton").setAttribute("aria-expanded", String(!menu.hidden));
  });
  for (const item of menu.querySelectorAll("li")) {
    item.addEventListener("click", () => {
      menu.hidden = true;
      $("frequencyButton").setAttribute("aria-expanded", "false");
      let frequency = item.dataset.frequency;
      // "Sequence 1" toggles, as its check mark in the window does.
      if (frequency === "sequence" && state && state.frequency === "sequence") frequency = "multi";
      change({ frequency });
    });
  }
}

wire();
fetch("/api/state").then((reply) => reply.json()).then(render);
connect();
