// Реле: one relay's insulation over a period from the historian (the readings for short periods,
// minimum / mean / maximum per bucket for long ones), its signal and trip setpoints as lines, its
// protection events as marks; zooming in fetches the finer data of the new period.
"use strict";

(() => {
  const { el } = Plant;
  const stationKey = Plant.param("station");
  const address = Plant.param("relay");
  const errorBox = document.getElementById("error");
  const chartBox = document.getElementById("chart");
  const fromInput = document.getElementById("r-from");
  const toInput = document.getElementById("r-to");
  const scale = document.getElementById("r-scale");
  const stationPick = document.getElementById("p-station");
  const relayPick = document.getElementById("p-relay");
  let graph = null;
  let levels = { signal: null, trip: null };
  let eventTimes = [];
  let period = null;
  let liveRelay = null;
  let relayRow = null;
  let liveStations = [];

  function fillPickers() {
    stationPick.replaceChildren(new Option("— выберите станцию —", ""));
    const keys = liveStations.map((s) => s.key).sort();
    if (stationKey && !keys.includes(stationKey)) keys.push(stationKey);
    for (const key of keys) stationPick.append(new Option(`${Plant.stationName(key)}  (${key})`, key));
    stationPick.value = stationKey || "";
    relayPick.replaceChildren(new Option("— выберите реле —", ""));
    const st = liveStations.find((s) => s.key === stationPick.value);
    const relays = st ? [...st.relays].sort((a, b) => a.address - b.address) : [];
    for (const r of relays) {
      relayPick.append(new Option(`№ ${r.relay ?? "—"} · адр. ${r.address} · ${r.generator || ""} ${r.breaker || ""}`, String(r.address)));
    }
    if (address && ![...relayPick.options].some((o) => o.value === address)) {
      relayPick.append(new Option(`адр. ${address}`, address));
    }
    relayPick.value = address || "";
  }
  function go() {
    if (stationPick.value && relayPick.value) {
      window.location.assign(`/relay?station=${encodeURIComponent(stationPick.value)}&relay=${relayPick.value}`);
    }
  }
  stationPick.addEventListener("change", () => { relayPick.value = ""; fillPickersKeep(); });
  relayPick.addEventListener("change", go);
  function fillPickersKeep() {
    const chosen = stationPick.value;
    relayPick.replaceChildren(new Option("— выберите реле —", ""));
    const st = liveStations.find((s) => s.key === chosen);
    for (const r of st ? [...st.relays].sort((a, b) => a.address - b.address) : []) {
      relayPick.append(new Option(`№ ${r.relay ?? "—"} · адр. ${r.address} · ${r.generator || ""} ${r.breaker || ""}`, String(r.address)));
    }
  }

  function drawHead() {
    const head = document.getElementById("head");
    head.replaceChildren();
    if (!stationKey || !address) {
      head.append(el("span", "note", "Выберите станцию и реле выше или плитку на странице «Станции»."));
      return;
    }
    const r = liveRelay || relayRow || {};
    head.append(el("span", "big", `${r.generator || "—"} · ${r.breaker || "—"}`),
                el("span", null, `Станция ${Plant.stationName(stationKey)}, № ${r.relay ?? "—"}, адрес ${address}`),
                el("span", null, `Изоляция: ${r.insulation_kohm ?? "—"} кОм`),
                el("span", null, `Уставки: сигнализация ${levels.signal ?? "—"}, отключение ${levels.trip ?? "—"} кОм`));
    if (liveRelay) {
      head.append(el("span", `badge ${liveRelay.state === "normal" ? "online" : liveRelay.state === "event" ? "offline" : ""}`,
                     Plant.relayStates[liveRelay.state] || liveRelay.state),
                  el("span", "note", `обновлено ${Plant.formatAge(liveRelay.last_answer)}`));
    }
  }

  // Readings further apart than this are drawn with a break, not joined across the silence.
  function withGaps(rows, expectedMs) {
    const out = [];
    for (let i = 0; i < rows.length; i++) {
      if (i > 0 && rows[i][0] - rows[i - 1][0] > expectedMs) {
        out.push([new Date(rows[i - 1][0].getTime() + 1), rows[0].length === 2 ? null : [null, null, null]]);
      }
      out.push(rows[i]);
    }
    return out;
  }

  function underlay(ctx, area, g) {
    const line = (value, color) => {
      if (value == null) return;
      const y = g.toDomYCoord(value);
      if (y < area.y || y > area.y + area.h) return;
      ctx.save();
      ctx.strokeStyle = color;
      ctx.lineWidth = 2;
      ctx.setLineDash([6, 4]);
      ctx.beginPath();
      ctx.moveTo(area.x, y);
      ctx.lineTo(area.x + area.w, y);
      ctx.stroke();
      ctx.restore();
    };
    line(levels.signal, "#e08a00");
    line(levels.trip, "#c62828");
    ctx.save();
    ctx.strokeStyle = "rgba(198,40,40,0.6)";
    ctx.lineWidth = 1;
    for (const t of eventTimes) {
      const x = g.toDomXCoord(t);
      if (x < area.x || x > area.x + area.w) continue;
      ctx.beginPath();
      ctx.moveTo(x, area.y);
      ctx.lineTo(x, area.y + area.h);
      ctx.stroke();
    }
    ctx.restore();
  }

  // The legend is ours: the library's own sets style attributes, which the pages' policy refuses.
  const legendBox = document.getElementById("legend");
  function legend(x, points) {
    const when = Plant.formatTime(new Date(x).toISOString());
    const p = points && points[0];
    if (!p || p.yval == null || Number.isNaN(p.yval)) return `${when}: нет данных`;
    const row = graph ? graph.getValue(p.idx, 1) : null;
    if (Array.isArray(row)) {
      return `${when}: мин. ${row[0]}, среднее ${row[1]}, макс. ${row[2]} кОм`;
    }
    return `${when}: ${p.yval} кОм`;
  }
  if (window.Dygraph && Dygraph.PLUGINS && Dygraph.Plugins) {
    Dygraph.PLUGINS = Dygraph.PLUGINS.filter((plugin) => plugin !== Dygraph.Plugins.Legend);
  }

  async function load(from, to) {
    errorBox.textContent = "";
    period = { from, to };
    fromInput.value = Plant.toInput(from);
    toInput.value = Plant.toInput(to);
    const params = { station: stationKey, relay: address, from: Plant.toApi(from), to: Plant.toApi(to) };
    try {
      const [samples, events] = await Promise.all([
        Plant.getJson("/api/samples", params),
        Plant.getJson("/api/events", { ...params, limit: 1000 }),
      ]);
      relayRow = samples.relay;
      levels = {
        signal: (liveRelay && liveRelay.signal_kohm != null) ? liveRelay.signal_kohm : relayRow.signal_kohm,
        trip: (liveRelay && liveRelay.trip_kohm != null) ? liveRelay.trip_kohm : relayRow.trip_kohm,
      };
      drawHead();
      eventTimes = events.rows.map((e) => Date.parse(e.detected_at));
      drawEvents(events.rows);
      const aggregate = samples.mode === "aggregate";
      let rows;
      if (aggregate) {
        rows = samples.points.map((p) => [new Date(p[0]), [p[1], p[2], p[3]]]);
        rows = withGaps(rows, samples.bucket_seconds * 1000 * 1.5);
      } else {
        rows = samples.points.map((p) => [new Date(p[0]), p[1]]);
        rows = withGaps(rows, 5 * 60 * 1000);
      }
      document.getElementById("mode").textContent = aggregate
        ? `мин. / среднее / макс. за ${Math.round(samples.bucket_seconds / 60)} мин, ${rows.length} точек`
        : `показания, ${rows.length} точек`;
      const options = {
        labels: ["Время", "Изоляция, кОм"],
        customBars: aggregate,
        connectSeparatedPoints: false,
        logscale: scale.value === "log",
        colors: ["#1f5f99"],
        strokeWidth: 1.5,
        dateWindow: [from.getTime(), to.getTime()],
        ylabel: "кОм",
        highlightCallback: (event, x, points) => { legendBox.textContent = legend(x, points); },
        unhighlightCallback: () => { legendBox.textContent = ""; },
        underlayCallback: underlay,
        zoomCallback: (minX, maxX) => {
          if (Math.abs(maxX - minX) < 60 * 1000) return;
          load(new Date(minX), new Date(maxX));
        },
        axes: { x: { axisLabelWidth: 80, pixelsPerLabel: 90, axisLabelFormatter: dateLabel }, y: { axisLabelWidth: 60 } },
        includeZero: scale.value !== "log",
      };
      const data = rows.length ? rows : [[from, aggregate ? [null, null, null] : null], [to, aggregate ? [null, null, null] : null]];
      if (graph) graph.destroy();
      graph = new Dygraph(chartBox, data, options);
      document.body.dataset.chart = String(samples.points.length);
    } catch (e) {
      errorBox.textContent = e.message;
      document.body.dataset.chart = "error";
    }
    loadLinks(from, to);
  }

  function drawEvents(rows) {
    const body = document.querySelector("#events tbody");
    body.replaceChildren();
    for (const e of rows) {
      const tr = el("tr", "high");
      tr.append(el("td", "time", Plant.formatTime(e.detected_at)), el("td", "time", Plant.formatRelayTime(e.event_time)),
                el("td", null, e.sign_text || "—"));
      body.append(tr);
    }
    if (!rows.length) {
      const tr = el("tr");
      const td = el("td", "note", "Событий за период нет");
      td.colSpan = 3;
      tr.append(td);
      body.append(tr);
    }
  }

  async function loadLinks(from, to) {
    const body = document.querySelector("#links tbody");
    body.replaceChildren();
    try {
      const data = await Plant.getJson("/api/link", { station: stationKey, from: Plant.toApi(from), to: Plant.toApi(to), limit: 500 });
      for (const r of data.rows) {
        const tr = el("tr");
        const what = r.what === "link" ? "Связь с реле" : "Станция";
        const state = r.what === "link" ? (Plant.linkStates[r.state] || r.state)
                    : ({ online: "в сети", offline: "не в сети", broker_lost: "брокер потерян", broker_back: "брокер снова" }[r.state] || r.state);
        const td = el("td", null, state + (r.text ? ` — ${r.text}` : ""));
        tr.append(el("td", "time", Plant.formatTime(r.changed_at)), el("td", null, what), td);
        body.append(tr);
      }
      if (!data.rows.length) {
        const tr = el("tr");
        const td = el("td", "note", "Изменений за период нет");
        td.colSpan = 3;
        tr.append(td);
        body.append(tr);
      }
    } catch (e) {
      const tr = el("tr");
      const td = el("td", "note", e.message);
      td.colSpan = 3;
      tr.append(td);
      body.append(tr);
    }
  }

  // The time axis in Russian, coarser as the shown period grows.
  const months = ["янв", "фев", "мар", "апр", "май", "июн", "июл", "авг", "сен", "окт", "ноя", "дек"];
  function dateLabel(d, granularity, opts, g) {
    const range = g ? g.xAxisRange() : [0, 0];
    const span = range[1] - range[0];
    const p = (n) => String(n).padStart(2, "0");
    if (span > 90 * 86400e3) {
      return d.getMonth() === 0 ? `${months[0]} ${d.getFullYear()}` : months[d.getMonth()];
    }
    if (span > 2 * 86400e3 || (d.getHours() === 0 && d.getMinutes() === 0)) {
      return `${p(d.getDate())}.${p(d.getMonth() + 1)}`;
    }
    return `${p(d.getHours())}:${p(d.getMinutes())}`;
  }

  function lastDays(days) {
    const to = new Date(Plant.now());
    return [new Date(to.getTime() - days * 86400 * 1000), to];
  }

  for (const button of document.querySelectorAll("#ranges button")) {
    button.addEventListener("click", () => {
      for (const b of document.querySelectorAll("#ranges button")) b.classList.toggle("current", b === button);
      load(...lastDays(Number(button.dataset.days)));
    });
  }
  document.getElementById("range").addEventListener("submit", (ev) => {
    ev.preventDefault();
    if (!fromInput.value || !toInput.value) { errorBox.textContent = "Задайте начало и конец периода"; return; }
    for (const b of document.querySelectorAll("#ranges button")) b.classList.remove("current");
    load(new Date(fromInput.value), new Date(toInput.value));
  });
  scale.addEventListener("change", () => { if (period) load(period.from, period.to); });

  drawHead();
  if (stationKey && address) {
    const from = Plant.param("from");
    const to = Plant.param("to");
    if (from && to) load(new Date(from), new Date(to)); else load(...lastDays(1));
  } else {
    document.body.dataset.chart = "none";
  }
  Plant.live({
    snapshot(data) {
      liveStations = data.stations;
      fillPickers();
      const st = data.stations.find((s) => s.key === stationKey);
      liveRelay = st ? st.relays.find((r) => String(r.address) === address) || null : null;
      drawHead();
      document.body.dataset.ready = "1";
    },
    update(data) {
      for (const st of data.stations) {
        const i = liveStations.findIndex((s) => s.key === st.key);
        if (i >= 0) liveStations[i] = st; else liveStations.push(st);
        if (st.key === stationKey) {
          liveRelay = st.relays.find((r) => String(r.address) === address) || null;
          drawHead();
        }
      }
    },
  });
})();
