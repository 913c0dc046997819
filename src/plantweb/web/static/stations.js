// Станции: every station a group of tiles, drawn from the live snapshot and redrawn a station at a
// time as updates come; the values' ages tick here, against the server's clock.
"use strict";

(() => {
  const { el } = Plant;
  const stations = new Map();  // key -> station JSON
  const sections = new Map();  // key -> <section>
  const container = document.getElementById("stations");
  const STALE_SECONDS = 180;  // a state is published at least once a minute

  function tile(key, relay) {
    const state = ["normal", "event", "no_answer"].includes(relay.state) ? relay.state : "no_answer";
    const a = el("a", `tile ${state}`);
    a.href = `/relay?station=${encodeURIComponent(key)}&relay=${relay.address}`;
    a.title = `${relay.generator || ""} ${relay.breaker || ""}: ${Plant.relayStates[state]}`;
    const head = el("div", "tile-head");
    head.append(el("span", "num", relay.relay != null ? `№ ${relay.relay}` : "№ —"),
                el("span", "addr", `адр. ${relay.address}`));
    const value = el("div", "value");
    value.append(relay.insulation_kohm != null ? String(relay.insulation_kohm) : "—", " ",
                 el("small", null, "кОм"));
    const age = el("div", "age");
    age.dataset.at = relay.last_answer || "";
    a.append(head, el("div", "gen", relay.generator || "—"), el("div", "brk", relay.breaker || "—"),
             value, age);
    return a;
  }

  function section(key, station) {
    const s = el("section", "station");
    s.dataset.key = key;
    if (station.online === false) s.classList.add("offline");
    const head = el("div", "station-head");
    head.append(el("span", "name", station.name), el("span", "prefix", station.prefix));
    const online = station.online === true ? ["online", "в сети"]
                 : station.online === false ? ["offline", "не в сети"] : ["", "состояние неизвестно"];
    const badge = el("span", `badge ${online[0]}`, online[1]);
    badge.dataset.role = "online";
    head.append(badge);
    if (station.link) {
      const st = station.link.state || "";
      // A station that died leaves its last link retained: said as what it last was.
      const known = station.online === false ? " (последнее известное)" : "";
      head.append(el("span", `badge link-${st}`, `Связь: ${Plant.linkStates[st] || st || "—"}${known}`));
      const text = el("span", "link-text", `${station.link.link || ""}${station.link.status_text ? " — " + station.link.status_text : ""}`);
      text.title = text.textContent;
      head.append(text);
    }
    if (station.alarms && station.alarms.length) {
      head.append(el("span", "badge alarms", `Тревог: ${station.alarms.length}`));
    }
    s.append(head);
    const tiles = el("div", "tiles");
    const relays = [...station.relays].sort((x, y) => (x.relay ?? 999) - (y.relay ?? 999) || x.address - y.address);
    for (const relay of relays) tiles.append(tile(key, relay));
    if (!relays.length) tiles.append(el("span", "note", "Нет реле"));
    s.append(tiles);
    return s;
  }

  function summary() {
    let relays = 0, events = 0, silent = 0, online = 0;
    for (const st of stations.values()) {
      if (st.online) online++;
      for (const r of st.relays) {
        relays++;
        if (r.state === "event") events++;
        if (r.state === "no_answer") silent++;
      }
    }
    const box = document.getElementById("summary");
    box.replaceChildren();
    const item = (label, value) => { const s = el("span", null, `${label}: `); s.append(el("b", null, value)); return s; };
    box.append(item("Станций", `${stations.size} (в сети ${online})`), item("Реле", relays),
               item("С событием", events), item("Без ответа", silent));
  }

  function place(key) {
    const station = stations.get(key);
    const fresh = section(key, station);
    const old = sections.get(key);
    if (old) {
      old.replaceWith(fresh);
    } else {
      // Stations in the order of their keys, as the snapshot gives them.
      const after = [...sections.keys()].filter((k) => k > key).sort()[0];
      if (after) container.insertBefore(fresh, sections.get(after)); else container.append(fresh);
    }
    sections.set(key, fresh);
    ages(fresh);
  }

  function ages(root) {
    for (const node of root.querySelectorAll(".age")) {
      const at = node.dataset.at;
      node.textContent = at ? Plant.formatAge(at) : "нет данных";
      node.classList.toggle("old", Plant.ageSeconds(at) > STALE_SECONDS);
    }
  }

  Plant.live({
    snapshot(data) {
      stations.clear();
      sections.clear();
      container.replaceChildren();
      for (const st of data.stations) stations.set(st.key, st);
      const fragment = document.createDocumentFragment();
      for (const key of [...stations.keys()].sort()) {
        const s = section(key, stations.get(key));
        sections.set(key, s);
        fragment.append(s);
      }
      container.append(fragment);
      if (!stations.size) container.append(el("p", "empty", "Ни одна станция ещё не публиковала данных"));
      ages(container);
      summary();
      // How long the page took from its request to the tiles drawn: measured by the tests.
      requestAnimationFrame(() => { document.body.dataset.drawnMs = String(Math.round(performance.now())); });
      document.body.dataset.ready = "1";
    },
    update(data) {
      if (data.stations.length && !sections.size) container.replaceChildren();
      for (const st of data.stations) {
        stations.set(st.key, st);
        place(st.key);
      }
      if (data.stations.length) summary();
    },
  });
  setInterval(() => ages(container), 1000);
})();
