// What every page of the plant view shares: the live connection, the broker's line in the header,
// the sign-out button, fetching the API and the Russian words for the stations' states.
"use strict";

const Plant = (() => {
  let clockOffset = 0;  // the server's clock minus this browser's, in ms

  function el(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined && text !== null) node.textContent = String(text);
    return node;
  }

  function now() { return Date.now() + clockOffset; }

  function setServerTime(iso) {
    const t = Date.parse(iso);
    if (!Number.isNaN(t)) clockOffset = t - Date.now();
  }

  function pad(n) { return String(n).padStart(2, "0"); }

  // dd.MM.yyyy HH:mm:ss in this computer's time, as the station shows times.
  function formatTime(iso) {
    if (!iso) return "—";
    const d = new Date(iso);
    if (Number.isNaN(d.getTime())) return String(iso);
    return `${pad(d.getDate())}.${pad(d.getMonth() + 1)}.${d.getFullYear()} ` +
           `${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`;
  }

  // The relay's own clock has no zone: shown as read.
  function formatRelayTime(text) {
    const m = /^(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})/.exec(text || "");
    return m ? `${m[3]}.${m[2]}.${m[1]} ${m[4]}:${m[5]}:${m[6]}` : "—";
  }

  function formatAge(iso) {
    if (!iso) return "нет данных";
    const seconds = Math.max(0, Math.round((now() - Date.parse(iso)) / 1000));
    if (seconds < 60) return `${seconds} с назад`;
    const minutes = Math.floor(seconds / 60);
    if (minutes < 60) return `${minutes} мин назад`;
    const hours = Math.floor(minutes / 60);
    if (hours < 48) return `${hours} ч назад`;
    return `${Math.floor(hours / 24)} сут. назад`;
  }

  function ageSeconds(iso) { return iso ? (now() - Date.parse(iso)) / 1000 : Infinity; }

  // yyyy-MM-ddTHH:mm for a datetime-local input, and back to what the API takes.
  function toInput(date) {
    return `${date.getFullYear()}-${pad(date.getMonth() + 1)}-${pad(date.getDate())}T` +
           `${pad(date.getHours())}:${pad(date.getMinutes())}`;
  }
  function toApi(date) {
    const offset = -date.getTimezoneOffset();
    const sign = offset >= 0 ? "+" : "-";
    const abs = Math.abs(offset);
    return `${toInput(date)}:${pad(date.getSeconds())}${sign}${pad(Math.floor(abs / 60))}:${pad(abs % 60)}`;
  }

  // A query string the server reads literally: a space as %20 and a plus as %2B (URLSearchParams
  // would write a space as "+", which the server takes for a plus).
  function query(params) {
    return Object.entries(params || {})
      .filter(([, v]) => v !== undefined && v !== null && v !== "")
      .map(([k, v]) => `${encodeURIComponent(k)}=${encodeURIComponent(String(v))}`)
      .join("&");
  }

  async function getJson(path, params) {
    const q = query(params);
    const url = q ? `${path}?${q}` : path;
    const response = await fetch(url, { credentials: "same-origin", cache: "no-store" });
    let body = null;
    try { body = await response.json(); } catch (e) { body = null; }
    if (response.status === 401) { window.location.assign("/login"); }
    if (!response.ok) {
      throw new Error((body && body.error) || `Сервер ответил ${response.status}`);
    }
    return body;
  }

  const linkStates = {
    closed: "закрыта", connecting: "подключение", open: "открыта", waiting: "потеряна, повтор",
  };
  const relayStates = { normal: "в норме", event: "событие", no_answer: "нет ответа" };
  const alarmKinds = {
    protection_event: "Событие защиты", trip_relay: "Реле отключения",
    signal_relay: "Реле сигнализации", circuit_break: "Обрыв цепи", no_answer: "Нет ответа",
    link_lost: "Потеря связи",
  };
  const priorities = { high: "высокий", medium: "средний", low: "низкий" };
  const alarmStates = {
    active_unacknowledged: "активна, не квитирована", active_acknowledged: "активна, квитирована",
    returned_unacknowledged: "вернулась, не квитирована", normal: "норма",
  };

  function stationName(key) {
    const i = key.lastIndexOf("/");
    return i >= 0 ? key.slice(i + 1) : key;
  }

  function showBroker(broker) {
    const node = document.getElementById("broker");
    if (!node || !broker) return;
    node.className = "broker " + (broker.connected ? "up" : "down");
    node.textContent = broker.connected ? "Брокер: связь есть"
                                        : `Брокер: нет связи${broker.reason ? " — " + broker.reason : ""}`;
    node.title = node.textContent;
  }

  // The live connection: a snapshot first, then updates; reconnected by itself.
  function live(handlers) {
    let retry = 1000;
    function open() {
      const scheme = window.location.protocol === "https:" ? "wss" : "ws";
      const socket = new WebSocket(`${scheme}://${window.location.host}/live`);
      socket.onmessage = (message) => {
        let data;
        try { data = JSON.parse(message.data); } catch (e) { return; }
        if (data.server_time) setServerTime(data.server_time);
        if (data.broker) showBroker(data.broker);
        if (data.type === "snapshot") {
          retry = 1000;
          const logout = document.getElementById("logout");
          if (logout) logout.hidden = !data.auth;
          if (handlers.snapshot) handlers.snapshot(data);
        } else if (data.type === "update" && handlers.update) {
          handlers.update(data);
        }
      };
      socket.onclose = () => {
        const node = document.getElementById("broker");
        if (node) {
          node.className = "broker down";
          node.textContent = "Нет связи с сервером, повтор…";
        }
        setTimeout(open, retry);
        retry = Math.min(retry * 2, 15000);
      };
    }
    open();
  }

  function param(name) { return new URLSearchParams(window.location.search).get(name); }

  return {
    el, now, query, formatTime, formatRelayTime, formatAge, ageSeconds, toInput, toApi, getJson, live,
    param, stationName, linkStates, relayStates, alarmKinds, priorities, alarmStates,
  };
})();

// A blocked script or style would leave a page half drawn without a word: noted on the document,
// where the browser test looks.
document.addEventListener("securitypolicyviolation", (e) => {
  const root = document.documentElement;
  root.dataset.cspViolations = `${root.dataset.cspViolations || ""}${e.violatedDirective} ${e.blockedURI}; `;
});
