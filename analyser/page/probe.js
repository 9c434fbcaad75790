// The probe's live page: every input's channels as meters on a dBFS scale (-60 to 0, with the
// EBU -18 and SMPTE -20 dBFS marks and the line-up level the input is judged against), each
// pair's correlation, the A/V offset with its last minute drawn, the active alarms and the event
// log, pushed ten times a second over a WebSocket. Each meter is role="meter" with its value in
// aria-valuenow and its channel in aria-label.
"use strict";
const floor = -60;
const inputs = document.getElementById("inputs");
const rows = new Map();
const SVG = "http://www.w3.org/2000/svg";
const graphWidth = 240;
const graphHeight = 48;

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
    s.sender = element("span", "sender");
    title.append(s.pattern, s.sender);
    s.append(title);
    s.av = element("div", "av");
    s.av.text = element("span", "av-value", "A/V offset: no pictures with markers");
    s.av.graph = document.createElementNS(SVG, "svg");
    s.av.graph.setAttribute("viewBox", `0 0 ${graphWidth} ${graphHeight}`);
    s.av.graph.setAttribute("role", "img");
    s.av.graph.setAttribute("aria-label", "A/V offset over the last minute");
    s.av.line = document.createElementNS(SVG, "polyline");
    const zero = document.createElementNS(SVG, "line");
    zero.setAttribute("x1", "0");
    zero.setAttribute("x2", String(graphWidth));
    zero.setAttribute("y1", String(graphHeight / 2));
    zero.setAttribute("y2", String(graphHeight / 2));
    zero.setAttribute("class", "zero");
    s.av.graph.append(zero, s.av.line);
    s.av.append(s.av.text, s.av.graph);
    s.append(s.av);
    s.legs = element("div", "legs");
    s.append(s.legs);
    inputs.append(s);
    rows.set(key, s);
  }
  s.pattern.textContent = input.pattern;
  // Two legs (ST 2022-7): each one's state, so a leg down shows before the next fault costs audio.
  s.legs.textContent = (input.legs || []).map((leg, n) =>
    `leg ${n + 1}: ${leg.silentS > 0 ? "nothing for " + leg.silentS.toFixed(1) + " s" : "receiving"}` +
    `, ${leg.lost} lost`).join("; ") + (input.legs && input.legs.length ?
    `; ${input.rescued} rescued by the other leg` : "");
  // Routed by an NMOS controller: the sender it was routed to, as the registry knows it.
  s.sender.textContent = input.senderId ? "sender " + input.senderId : "";
  const offset = input.avOffsetMs;
  s.av.dataset.offsetMs = offset === null ? "" : offset.toFixed(1);
  s.av.text.textContent = offset === null ? "A/V offset: no pictures with markers"
    : "A/V offset " + (offset >= 0 ? "+" : "") + offset.toFixed(1) + " ms (sound " +
      (offset >= 0 ? "ahead of" : "behind") + " the picture)";
  // The last minute: x from a minute before the newest marker to it, y +-250 ms (ahead up).
  const newest = input.av.length ? input.av[input.av.length - 1][0] : 0;
  s.av.line.setAttribute("points", input.av.map(([at, ms]) => {
    const x = (at - newest + 60) / 60 * graphWidth;
    const y = graphHeight / 2 - Math.max(-250, Math.min(250, ms)) / 250 * (graphHeight / 2);
    return x.toFixed(1) + "," + y.toFixed(1);
  }).join(" "));
  s.av.graph.dataset.points = String(input.av.length);
  s.lineUp = input.lineUpDbfs;
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
    m.lineUp = element("div", "mark lineup");
    m.lineUp.hidden = true;
    m.append(m.fill, ebu, smpte, m.lineUp);
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
  if (s.lineUp !== null && s.lineUp !== undefined) {
    m.lineUp.hidden = false;
    m.lineUp.style.left = percent(s.lineUp) + "%";
    m.lineUp.title = "line-up level judged against, " + s.lineUp.toFixed(1) + " dBFS";
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
