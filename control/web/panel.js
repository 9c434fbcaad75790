// The web control panel: shows the state the program pushes over its WebSocket and sends each
// click as a change to /api/settings. It keeps no state of its own: what it shows is always the
// last state the program sent, so two pages and the window agree. A pair click sends that pair
// alone, so clicks on two pages at once never undo each other. While the WebSocket is down the
// controls are disabled and the page says its state may be stale.
"use strict";

const $ = (id) => document.getElementById(id);
let state = null;
let cardVersion = 0;
// The newest state shown: a PATCH's answer can arrive after a push of a later state.
let revision = -1;
const kIdentTextLimit = 27;
// What a one-line caption cannot hold, as the program refuses it: line and paragraph separators
// and the controls that reorder text (besides control characters).
const kUnsuitable = /[\u0000-\u001f\u007f-\u009f\u2028\u2029\u202a-\u202e\u2066-\u2069\u200e\u200f\u061c]/u;

function setConnected(connected) {
  $("connection").textContent = connected ? "connected" : "disconnected: retrying";
  $("connection").className = connected ? "online" : "offline";
  $("controls").disabled = !connected;
  $("panel").classList.toggle("stale", !connected);
  $("staleNote").hidden = connected;
  if (!connected) closeMenu(false);
}

function showError(message) {
  $("error").textContent = message;
  $("error").hidden = !message;
}

// The characters of a text as the program counts them (code points, not UTF-16 units).
function characters(text) {
  return [...text].length;
}

function identTextProblem(text) {
  const bad = text.match(kUnsuitable);
  if (bad) {
    const code = bad[0].codePointAt(0).toString(16).toUpperCase().padStart(4, "0");
    return `The ident text cannot hold U+${code} (a line break, a control or a direction ` +
      `mark): the caption is one line.`;
  }
  if (characters(text) > kIdentTextLimit) {
    return `The ident text holds at most ${kIdentTextLimit} characters; this one has ` +
      `${characters(text)}.`;
  }
  return "";
}

function updateIdentCount() {
  const count = characters($("identText").value);
  $("identCount").textContent = `${count} / ${kIdentTextLimit}`;
  $("identCount").classList.toggle("over", count > kIdentTextLimit);
}

function quoted(text) {
  return /^[A-Za-z0-9_./:,+-]+$/.test(text) ? text : `'${text.replace(/'/g, "'\\''")}'`;
}

// The command line and the service's environment lines that start the program as it is now.
function startupOptions(s) {
  const options = [["--channels", "LIRAFON_CHANNELS", String(s.channels)],
    ["--pairs", "LIRAFON_PAIRS", s.pairs], ["--level", "LIRAFON_LEVEL", String(s.level)],
    ["--ident", "LIRAFON_IDENT", s.ident], ["--frequency", "LIRAFON_FREQUENCY", String(s.frequency)],
    ["--ident-text", "LIRAFON_IDENT_TEXT", s.identText]];
  const line = ["ndi-lirafon"];
  const environment = [];
  for (const [option, variable, value] of options) {
    line.push(option, quoted(value));
    environment.push(`${variable}=${value}`);
  }
  if (!s.showIdentText) {
    line.push("--no-ident-text");
    environment.push("LIRAFON_SHOW_IDENT_TEXT=0");
  }
  if (s.fullRateVideo) {
    line.push("--full-rate-video");
    environment.push("LIRAFON_FULL_RATE_VIDEO=1");
  }
  if (s.avSync) {
    line.push("--av-sync");
    environment.push("LIRAFON_AV_SYNC=1");
  }
  return `${line.join(" ")}\n\n# or, for the service, in ~/.config/qel-ndi-lirafon/environment:\n` +
    environment.join("\n");
}

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
  if (typeof next.revision === "number") {
    if (next.revision < revision) return;
    revision = next.revision;
  }
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
  for (const input of document.querySelectorAll('input[name="ident"]')) {
    // The surround idents need 6 channels: greyed with 2 or 4, saying why.
    const surround = input.value === "blits" || input.value === "ebu-surround";
    input.disabled = surround && next.channels < 6;
    input.parentElement.title = input.disabled
      ? "A surround ident needs 6 channels: choose 8 or 16 channels first"
      : input.parentElement.dataset.title || "";
  }
  const marks = pairMarks(next.pairs);
  for (const box of document.querySelectorAll("input[data-pair]")) {
    const pair = Number(box.dataset.pair);
    box.checked = marks[pair];
    box.disabled = pair >= next.channels / 2; // beyond the channel count: greyed, mark kept
  }
  if (document.activeElement !== $("identText")) {
    $("identText").value = next.identText;
    updateIdentCount();
  }
  $("showIdentText").checked = next.showIdentText;
  $("fullRateVideo").checked = next.fullRateVideo;
  $("avSync").checked = next.avSync;
  $("card").src = `/card.png?v=${++cardVersion}`;
  $("wireReference").textContent =
    `Peak dBFS on ${next.wireReference || "the wire"}; the level line above is the window's own ` +
    "line, whatever the stream's reference.";
  if (!$("startupOptions").hidden) $("startupOptions").textContent = startupOptions(next);

  const source = $("source");
  source.replaceChildren();
  const stopped = (sending) => (sending === false ? "stopped (NMOS)" : undefined);
  const facts = [["Copy", next.copy], ["Source", next.sourceName], ["Runtime", next.runtime],
    ["Destination", next.destination], ["Audio port", next.audioPort],
    ["Audio", stopped(next.audioSending)], ["Video destination", next.videoDestination],
    ["Video port", next.videoPort], ["Video", stopped(next.videoSending)]];
  const leg = next.secondLeg;
  if (leg) {
    // ST 2022-7: every packet also on a second network.
    facts.push(["Second leg", leg.destination + (leg.interface ? ` (${leg.interface})` : "")],
      ["Second leg audio port", leg.audioPort], ["Second leg audio", stopped(leg.audioSending)],
      ["Second leg video destination", leg.videoDestination],
      ["Second leg video port", leg.videoPort], ["Second leg video", stopped(leg.videoSending)],
      ["Second leg refused", leg.packetsRefused ? `${leg.packetsRefused} packets` : undefined]);
  }
  facts.push(["SDP file", next.sdpFile]);
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
    showError(body.error);
    if (state) render(state);
    return;
  }
  showError("");
  render(body);
}

function connect() {
  const socket = new WebSocket(`ws://${location.host}/ws`);
  // Connected once the first state has come: the controls are then live.
  socket.onmessage = (event) => {
    render(JSON.parse(event.data));
    setConnected(true);
  };
  socket.onclose = () => {
    setConnected(false);
    revision = -1; // a restarted program counts afresh
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
      const pair = Number(box.dataset.pair);
      change({ pairs: { [`${2 * pair + 1}-${2 * pair + 2}`]: box.checked } });
    });
  }
  const sendIdentText = () => {
    const problem = identTextProblem($("identText").value);
    if (problem) {
      showError(problem);
      return;
    }
    change({ identText: $("identText").value });
  };
  $("identText").addEventListener("input", updateIdentCount);
  $("identText").addEventListener("keydown", (event) => {
    if (event.key === "Enter") sendIdentText();
  });
  $("identText").addEventListener("change", sendIdentText);
  $("copyOptions").addEventListener("click", async () => {
    const text = startupOptions(state);
    $("startupOptions").textContent = text;
    $("startupOptions").hidden = false;
    try {
      await navigator.clipboard.writeText(text);
    } catch {
      // Shown on the page either way; the clipboard needs a secure context.
    }
  });
  $("showIdentText").addEventListener("click", () => change({ showIdentText: $("showIdentText").checked }));
  $("fullRateVideo").addEventListener("click", () => change({ fullRateVideo: $("fullRateVideo").checked }));
  $("avSync").addEventListener("click", () => change({ avSync: $("avSync").checked }));

  const menu = $("frequencyMenu");
  const items = [...menu.querySelectorAll("li")];
  const choose = (item) => {
    closeMenu(true);
    let frequency = item.dataset.frequency;
    // "Sequence 1" toggles, as its check mark in the window does.
    if (frequency === "sequence" && state && state.frequency === "sequence") frequency = "multi";
    change({ frequency });
  };
  $("frequencyButton").addEventListener("click", () => {
    if (menu.hidden) openMenu(0);
    else closeMenu(true);
  });
  $("frequencyButton").addEventListener("keydown", (event) => {
    if (event.key === "ArrowDown" || event.key === "ArrowUp") {
      event.preventDefault();
      openMenu(event.key === "ArrowDown" ? 0 : items.length - 1);
    }
  });
  menu.addEventListener("keydown", (event) => {
    const at = items.indexOf(document.activeElement);
    if (event.key === "ArrowDown" || event.key === "ArrowUp") {
      event.preventDefault();
      const step = event.key === "ArrowDown" ? 1 : items.length - 1;
      items[(at + step) % items.length].focus();
    } else if (event.key === "Home" || event.key === "End") {
      event.preventDefault();
      items[event.key === "Home" ? 0 : items.length - 1].focus();
    } else if (event.key === "Enter" || event.key === " ") {
      event.preventDefault();
      if (at >= 0) choose(items[at]);
    } else if (event.key === "Escape" || event.key === "Tab") {
      if (event.key === "Escape") event.preventDefault();
      closeMenu(event.key === "Escape");
    }
  });
  for (const item of items) {
    item.addEventListener("click", () => choose(item));
  }
  // A click anywhere else closes the menu, as a menu does.
  document.addEventListener("pointerdown", (event) => {
    if (!menu.hidden && !menu.contains(event.target) && event.target !== $("frequencyButton")) {
      closeMenu(false);
    }
  });
}

function openMenu(index) {
  const menu = $("frequencyMenu");
  menu.hidden = false;
  $("frequencyButton").setAttribute("aria-expanded", "true");
  menu.querySelectorAll("li")[index].focus();
}

function closeMenu(returnFocus) {
  const menu = $("frequencyMenu");
  if (menu.hidden) return;
  menu.hidden = true;
  $("frequencyButton").setAttribute("aria-expanded", "false");
  if (returnFocus) $("frequencyButton").focus();
}

wire();
setConnected(false);
$("connection").textContent = "connecting…";
fetch("/api/state").then((reply) => reply.json()).then(render);
connect();
