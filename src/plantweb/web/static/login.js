// The sign-in form says why it came back.
"use strict";
if (new URLSearchParams(window.location.search).get("failed")) {
  document.getElementById("error").textContent = "Неверное имя пользователя или пароль";
}
