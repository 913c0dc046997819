// Аварии: the alarms standing now (live) and the protection events, newest first, from the
// historian for the chosen period, with the live ones added on top while the period is open.
"use strict";

(() => {
  const { el } = Plant;
  const form = document.getElementById("filters");
  const stationSelect = document.getElementById("f-station");
  const relayInput = document.getElementById("f-relay");
  const fromInput = document.getElementById("f-from");
  const toInput = document.getElementById("f-to");
  const errorBox = document.getElementById("error");
  const eventsBody = document.querySelector("#events tbody");
  const alarmsBody = document.querySelector("#alarms tbody");
  const more = document.getElementById("more");
  const PAGE = 200;
  const liveStations = new Map();
  let shown = 0;
  let filter = {};
  const seen = new Set();  // events on screen, by station and record

  function readFilter() {
    const f = {};
    if (stationSelect.value) f.station = stationSelect.value;
    if (relayInput.value !== "") f.relay = relayInput.value;
    if (fromInput.value) f.from = Plant.toApi(new Date(fromInput.value));
    if (toInput.value) f.to = Plant.toApi(new Date(toInput.value));
    return f;
  }

  function writeUrl(f) {
    const q = Plant.query(f);
    history.replaceState(null, "", q ? `/alarms?${q}` : "/alarms");
    document.getElementById("csv").href = q ? `/api/events.csv?${q}` : "/api/events.csv";
  }

  function matches(event) {
    if (filter.to) return false;  // a closed period does not grow
    if (filter.station && event.station !== filter.station) return false;
    if (filter.relay !== undefined && String(event.address) !== String(filter.relay)) return false;
    return true;
  }

  function eventRow(e, fresh) {
    const key = `${e.station}#${e.record ?? e.detected_at}#${e.address}`;
    if (seen.has(key)) return null;
    seen.add(key);
    const tr = el("tr", fresh ? "high fresh" : "high");
    const relay = el("td");
    const link = el("a", null, `№ ${e.relay ?? "—"} · адр. ${e.address}`);
    link.href = `/relay?station=${encodeURIComponent(e.station)}&relay=${e.address}`;
    relay.append(link);
    tr.append(el("td", "time", Plant.formatTime(e.detected_at)),
              el("td", null, Plant.stationName(e.station)), relay,
              el("td", null, e.generator || "—"), el("td", null, e.breaker || "—"),
              el("td", "time", Plant.formatRelayTime(e.event_time)),
              el("td", null, e.sign_text || "—"));
    tr.title = e.alarm_line || "";
    return tr;
  }

  function drawAlarms() {
    alarmsBody.replaceChildren();
    const rows = [];
    for (const st of liveStations.values()) {
      if (filter.station && st.key !== filter.station) continue;
      for (const a of st.alarms || []) {
        if (filter.relay !== undefined && String(a.address) !== String(filter.relay)) continue;
        rows.push([st, a]);
      }
    }
    rows.sort((x, y) => String(y[1].raised_at || "").localeCompare(String(x[1].raised_at || "")));
    for (const [st, a] of rows) {
      const tr = el("tr", a.priority || "low");
      tr.append(el("td", null, st.name),
                el("td", null, a.address != null ? `№ ${a.relay ?? "—"} · адр. ${a.address}` : "связь"),
                el("td", null, Plant.alarmKinds[a.kind] || a.kind),
                el("td", null, Plant.priorities[a.priority] || a.priority),
                el("td", null, Plant.alarmStates[a.state] || a.state),
                el("td", "time", Plant.formatTime(a.raised_at)), el("td", null, a.text || ""));
      alarmsBody.append(tr);
    }
    if (!rows.length) {
      const tr = el("tr");
      const td = el("td", "note", "Активных тревог нет");
      td.colSpan = 7;
      tr.append(td);
      alarmsBody.append(tr);
    }
    document.getElementById("alarm-count").textContent = rows.length ? `(${rows.length})` : "";
  }

  async function load(append) {
    errorBox.textContent = "";
    if (!append) {
      shown = 0;
      seen.clear();
      eventsBody.replaceChildren();
    }
    try {
      const data = await Plant.getJson("/api/events", { ...filter, limit: PAGE, offset: shown });
      for (const e of data.rows) {
        const tr = eventRow(e, false);
        if (tr) eventsBody.append(tr);
      }
      shown += data.rows.length;
      more.hidden = data.rows.length < PAGE;
      document.getElementById("pager-note").textContent =
        `Показано ${eventsBody.children.length} за период ${Plant.formatTime(data.from)} — ${Plant.formatTime(data.to)}`;
    } catch (e) {
      errorBox.textContent = e.message;
      more.hidden = true;
    }
    document.getElementById("event-count").textContent =
      eventsBody.children.length ? `(${eventsBody.children.length})` : "";
  }

  function fillStations() {
    const current = stationSelect.value || filter.station || "";
    const keys = [...liveStations.keys()].sort();
    if (current && !keys.includes(current)) keys.push(current);
    stationSelect.replaceChildren(new Option("Все станции", ""));
    for (const key of keys) stationSelect.append(new Option(Plant.stationName(key) + `  (${key})`, key));
    stationSelect.value = current;
  }

  function takeUrl() {
    const q = new URLSearchParams(window.location.search);
    filter = {};
    for (const name of ["station", "relay", "from", "to"]) if (q.get(name)) filter[name] = q.get(name);
    if (filter.relay !== undefined) relayInput.value = filter.relay;
    if (filter.from) fromInput.value = Plant.toInput(new Date(filter.from));
    if (filter.to) toInput.value = Plant.toInput(new Date(filter.to));
  }

  form.addEventListener("submit", (ev) => {
    ev.preventDefault();
    filter = readFilter();
    writeUrl(filter);
    drawAlarms();
    load(false);
  });
  more.addEventListener("click", () => load(true));

  takeUrl();
  writeUrl(filter);
  fillStations();
  load(false);
  Plant.live({
    snapshot(data) {
      liveStations.clear();
      for (const st of data.stations) liveStations.set(st.key, st);
      fillStations();
      drawAlarms();
      document.body.dataset.ready = "1";
    },
    update(data) {
      for (const st of data.stations) liveStations.set(st.key, st);
      if (data.stations.length) { fillStations(); drawAlarms(); }
      for (const e of data.events) {
        if (!matches(e)) continue;
        const tr = eventRow(e, true);
        if (tr) eventsBody.prepend(tr);
      }
      document.getElementById("event-count").textContent =
        eventsBody.children.length ? `(${eventsBody.children.length})` : "";
    },
  });
})();
