// The probe's live page: every input's channels as meters on a dBFS scale (-60 to 0, with the
// EBU -18 and SMPTE -20 dBFS line-up marks), each pair's correlation, the active alarms and the
// event log, pushed ten times a second over a WebSocket. Each meter is role="meter" with its
// value in aria-valuenow and its channel in aria-label.
"use strict";
const floor = -60;
const inputs = document.getElementById("inputs");
const rows = new Map();

function percent(dbfs) {
  return Math.max(0, Math.min(100, (dbfs - floor) / -floor * 100));
}

function element(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined) e.textContent = text;
  return e;
}

function section(input, index) {
  const key = "input:" + input.input;
  let s = rows.get(key);
  if (!s) {
    s = element("section", "input");
    s.dataset.input = input.input;
    const title = element("h2", "", input.input);
    s.pattern = element("span", "pattern");
    title.append(s.pattern);
    s.append(title);
    inputs.append(s);
    rows.set(key, s);
  }
  s.pattern.textContent = input.pattern;
  return s;
}

function meter(s, input, channel) {
  const key = input.input + ":" + channel.channel;
  let m = rows.get(key);
  if (!m) {
    const row = element("div", "row");
    m = element("div", "bar");
    m.setAttribute("role", "meter");
    m.setAttribute("aria-valuemin", String(floor));
    m.setAttribute("aria-valuemax", "0");
    m.setAttribute("aria-label", "channel " + channel.channel);
    m.fill = element("div", "fill");
    const ebu = element("div", "mark ebu");
    ebu.style.left = percent(-18) + "%";
    ebu.title = "EBU line-up, -18 dBFS";
    const smpte = element("div", "mark smpte");
    smpte.style.left = percent(-20) + "%";
    smpte.title = "SMPTE line-up, -20 dBFS";
    m.append(m.fill, ebu, smpte);
    m.label = element("span", "", "");
    m.value = element("span", "value");
    m.hz = element("span", "hz");
    row.append(m.label, m, m.value, m.hz);
    s.append(row);
    // A pair's correlation (carried by its left leg) goes under its right leg.
    if (channel.channel % 2 === 0 && s.pendingPair) {
      s.append(s.pendingPair);
      s.pendingPair = null;
    }
    if (channel.channel % 2 === 1) {
      const pair = element("div", "correlation");
      m.correlation = element("div", "bar");
      m.correlation.setAttribute("role", "meter");
      m.correlation.setAttribute("aria-valuemin", "-1");
      m.correlation.setAttribute("aria-valuemax", "1");
      m.correlation.setAttribute("aria-label",
        "pair " + channel.channel + "-" + (channel.channel + 1) + " correlation");
      m.correlation.fill = element("div", "fill");
      m.correlation.append(m.correlation.fill);
      m.correlationValue = element("span", "value");
      pair.append(element("span", "", "pair " + channel.channel + "-" + (channel.channel + 1)),
        m.correlation, m.correlationValue);
      s.pendingPair = pair;
    }
    rows.set(key, m);
  }
  const peak = channel.peakDbfs;
  m.setAttribute("aria-valuenow", peak.toFixed(1));
  m.fill.style.width = percent(peak) + "%";
  m.fill.className = "fill" + (peak > -1 ? " clip" : peak > -9 ? " hot" : "");
  m.label.textContent = "ch " + channel.channel + (channel.role ? " " + channel.role : "");
  m.value.textContent = peak > -199 ? peak.toFixed(1) + " dBFS" : "silent";
  m.hz.textContent = channel.tone ? channel.toneHz.toFixed(1) + " Hz" : "no tone";
  if (m.correlation) {
    const c = channel.correlation;
    m.correlation.setAttribute("aria-valuenow", c === null ? "0" : c.toFixed(2));
    const width = c === null ? 0 : Math.abs(c) * 50;
    m.correlation.fill.style.width = width + "%";
    m.correlation.fill.style.left = (c !== null && c < 0 ? 50 - width : 50) + "%";
    m.correlationValue.textContent = c === null ? "-" : c.toFixed(2);
  }
}

function render(state) {
  const alarms = document.getElementById("alarms");
  const active = [];
  state.inputs.forEach((input, index) => {
    const s = section(input, index);
    input.channels.forEach((channel) => meter(s, input, channel));
    input.alarms.forEach((a) => active.push({ input: input.input, ...a }));
  });
  alarms.replaceChildren(...(active.length ? active.map((a) => {
    const li = element("li", "", a.message);
    li.dataset.alarm = a.alarm;
    li.dataset.channel = String(a.channel);
    return li;
  }) : [element("li", "none", "none")]));
  const events = document.getElementById("events");
  events.replaceChildren(...state.events.slice().reverse().map((e) =>
    element("li", e.event, e.time + " " + e.event + " " + e.alarm +
      (e.channel ? " ch " + e.channel : "") + ": " + e.message)));
}

function connect() {
  const status = document.getElementById("connection");
  const socket = new WebSocket((location.protocol === "https:" ? "wss://" : "ws://") +
    location.host + "/ws");
  socket.onopen = () => { status.textContent = "live"; status.className = "online"; };
  socket.onmessage = (message) => render(JSON.parse(message.data));
  socket.onclose = () => {
    status.textContent = "probe not reachable: retrying";
    status.className = "offline";
    setTimeout(connect, 1000);
  };
}
connect();
