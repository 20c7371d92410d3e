"use strict";
// Operations page of the ZetaDesk server: status, live log, configuration,
// restart, system facts.  Talks only to the server-management API.

const $ = (id) => document.getElementById(id);
const STATUS_EVERY_MS = 3000;
const LOG_TAIL = 200;
const LOG_MAX_BATCHES = 5000;

let currentPid = null;
let storedWorkspace = "";  // the document's own "workspace" entry ("" when absent)
let stream = null;  // AbortController of the open log stream
let streamRetry = null;
let locked = false;  // the server asked for its access token

// The access token lives in this origin's sessionStorage and goes out as a
// Bearer header: nothing the browser would send by itself, to this port or
// any other.  It comes from a one-time login code in the address's
// fragment (never sent to the server, and useless once traded).
const TOKEN_KEY = "zetadesk_token";
let accessToken = sessionStorage.getItem(TOKEN_KEY);

async function redeemLoginCode() {
  const found = /(?:^#|&)code=([^&]*)/.exec(window.location.hash);
  if (!found) return;
  // Out of the address bar before anything else; history keeps a dead code.
  history.replaceState(null, "", window.location.pathname);
  try {
    const resp = await fetch("/login", {
      method: "POST",
      headers: { "Content-Type": "application/json" },
      body: JSON.stringify({ code: decodeURIComponent(found[1]) }),
      cache: "no-store",
    });
    const data = await resp.json().catch(() => null);
    if (resp.ok && data && data.token) {
      accessToken = data.token;
      sessionStorage.setItem(TOKEN_KEY, accessToken);
    } else {
      $("login-refused").hidden = false;
    }
  } catch (err) {
    $("login-refused").hidden = false;  // the requests below say whether it matters
  }
}

function authHeaders() {
  return accessToken ? { Authorization: `Bearer ${accessToken}` } : {};
}

function stopStream() {
  clearTimeout(streamRetry);
  if (stream) stream.abort();
  stream = null;
}

function showLocked() {
  locked = true;
  accessToken = null;
  sessionStorage.removeItem(TOKEN_KEY);
  $("locked").hidden = false;
  setConnection(false, "access token needed");
  stopStream();
}

async function api(method, path, body) {
  const init = { method, headers: authHeaders(), cache: "no-store" };
  if (body !== undefined) {
    init.headers["Content-Type"] = "application/json";
    init.body = JSON.stringify(body);
  }
  const resp = await fetch(path, init);
  if (resp.status === 401) showLocked();
  const data = await resp.json().catch(() => null);
  if (!resp.ok) {
    throw new Error((data && data.error) || `${method} ${path}: HTTP ${resp.status}`);
  }
  return data;
}

function setText(id, value) {
  $(id).textContent = value === null || value === undefined || value === "" ? "–" : String(value);
}

function setConnection(ok, text) {
  const badge = $("conn");
  badge.textContent = text;
  badge.className = "badge " + (ok ? "ok" : "down");
}

// ---- status -----------------------------------------------------------------

function renderAddresses(status) {
  const box = $("st-addresses");
  box.replaceChildren();
  for (const entry of status.listen_addresses || []) {
    const host = entry.family === "IPv6" ? `[${entry.address}]` : entry.address;
    const link = document.createElement("a");
    link.href = `http://${host}:${status.port}/`;
    link.textContent = `${host}:${status.port}`;
    const item = document.createElement("div");
    item.append(link, ` (${entry.type})`);
    box.append(item);
  }
  if (!box.childElementCount) box.textContent = "–";
}

async function refreshStatus() {
  try {
    const st = await api("GET", "/api/server/status");
    currentPid = st.pid;
    setText("st-version", st.version);
    setText("st-uptime", st.uptime);
    setText("st-pid", st.pid);
    setText("st-python", `${st.python} (${st.platform})`);
    const rss = st.memory && st.memory.rss_mb;
    setText("st-memory", typeof rss === "number" ? `${rss} MB peak RSS` : rss);
    setText("st-processes", st.connected_processes);
    setText("st-workspace", st.workspace);
    $("cfg-workspace").placeholder = st.workspace ? `default: ${st.workspace}` : "";
    renderAddresses(st);
    setConnection(true, "online");
    return st;
  } catch (err) {
    if (!locked) setConnection(false, "offline");
    return null;
  }
}

// ---- log --------------------------------------------------------------------

function logPinnedToBottom() {
  const log = $("log");
  return log.scrollTop + log.clientHeight >= log.scrollHeight - 4;
}

function appendLog(lines) {
  if (!lines.length) return;
  const log = $("log");
  const follow = logPinnedToBottom();
  log.append(lines.join("\n") + "\n");
  // Keep the view bounded on small devices.
  while (log.childNodes.length > LOG_MAX_BATCHES) log.firstChild.remove();
  if (follow) log.scrollTop = log.scrollHeight;
}

async function loadLogTail() {
  try {
    const data = await api("POST", "/api/server/logs", { count: LOG_TAIL });
    if (data.source === "memory" && !data.lines.length) {
      // No server.log (it is made by the first restart): the stream below
      // brings this server's lines from now on.
      setText("log-source", "(no log file yet: new lines appear below as the server writes them)");
    } else {
      setText("log-source", `(${data.source === "file" ? "server.log" : "memory"}, ${data.total} lines)`);
    }
    appendLog(data.lines);
  } catch (err) {
    appendLog([`[page] could not load the log: ${err.message}`]);
  }
}

// One server-sent event ("data: ..." lines): the log entry's text.
function handleEvent(block) {
  const data = block.split("\n").filter((l) => l.startsWith("data:"))
    .map((l) => l.slice(l.startsWith("data: ") ? 6 : 5)).join("\n");
  if (!data) return;
  try {
    appendLog([JSON.parse(data).text]);
  } catch (err) {
    appendLog([data]);
  }
}

// The live log, read with a streaming fetch: EventSource cannot send the
// Authorization header.  When the server goes away (restart) or ends the
// stream, it is opened again a second later.
async function openStream() {
  stopStream();
  if (locked) return;
  const controller = new AbortController();
  stream = controller;
  try {
    const resp = await fetch("/api/server/logs/stream", {
      headers: authHeaders(), signal: controller.signal, cache: "no-store",
    });
    if (resp.status === 401) return showLocked();
    if (resp.ok && resp.body) {
      const reader = resp.body.pipeThrough(new TextDecoderStream()).getReader();
      let pending = "";
      for (;;) {
        const { value, done } = await reader.read();
        if (done) break;
        pending += value.replace(/\r\n?/g, "\n");
        let end;
        while ((end = pending.indexOf("\n\n")) >= 0) {
          handleEvent(pending.slice(0, end));
          pending = pending.slice(end + 2);
        }
      }
    }
  } catch (err) {
    // dropped: retried below unless this stream was stopped on purpose
  }
  if (stream === controller && !controller.signal.aborted && !locked) {
    stream = null;
    streamRetry = setTimeout(openStream, 1000);
  }
}

// ---- configuration ------------------------------------------------------------

function maskToken(token) {
  if (!token) return "(none saved)";
  const tail = token.length > 8 ? token.slice(-4) : "";
  return `(saved: ${"•".repeat(8)}${tail})`;
}

async function loadConfig() {
  try {
    const cfg = await api("GET", "/api/config");
    storedWorkspace = typeof cfg.workspace === "string" ? cfg.workspace : "";
    $("cfg-workspace").value = storedWorkspace;
    // The token itself never reaches the page's text, only its mask.
    setText("cfg-token-saved", maskToken(typeof cfg.github_token === "string" ? cfg.github_token : ""));
  } catch (err) {
    setText("cfg-result", `could not load: ${err.message}`);
  }
}

async function saveConfig(event) {
  event.preventDefault();
  // Send only what the user changed: an untouched empty field must not
  // store "" over the server's default workspace.
  const body = {};
  const workspace = $("cfg-workspace").value.trim();
  if (workspace !== storedWorkspace) body.workspace = workspace;
  const token = $("cfg-token").value;
  if (token) body.github_token = token;
  setText("cfg-result", "saving…");
  try {
    const res = await api("POST", "/api/config", body);
    $("cfg-token").value = "";
    setText("cfg-result", `saved — token changed: ${res.token_changed ? "yes" : "no"}, ` +
                          `projects refreshed: ${res.projects_refreshed}`);
    await loadConfig();
    refreshStatus();
  } catch (err) {
    setText("cfg-result", `not saved: ${err.message}`);
  }
}

// ---- restart --------------------------------------------------------------------

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

async function restartServer() {
  if (!window.confirm("Restart the ZetaDesk server? Open terminals and requests are cut off.")) return;
  const button = $("restart");
  const oldPid = currentPid;
  button.disabled = true;
  setText("restart-state", "restarting…");
  try {
    await api("POST", "/api/server/restart");
  } catch (err) {
    setText("restart-state", `restart failed: ${err.message}`);
    button.disabled = false;
    return;
  }
  setConnection(false, "restarting");
  // Wait for the successor: healthy and with another process id.
  const deadline = Date.now() + 30000;
  while (Date.now() < deadline) {
    await sleep(500);
    try {
      await api("GET", "/api/health");
      const st = await refreshStatus();
      if (st && st.pid !== oldPid) {
        setText("restart-state", `restarted (pid ${oldPid} → ${st.pid})`);
        appendLog([`[page] server restarted, pid ${st.pid}`]);
        openStream();
        loadSystem();
        button.disabled = false;
        return;
      }
    } catch (err) {
      // not up yet
    }
  }
  setText("restart-state", "the server did not come back within 30 s");
  button.disabled = false;
}

// ---- system -----------------------------------------------------------------------

async function loadSystem() {
  try {
    const [sys, plat] = await Promise.all([api("GET", "/api/system/info"), api("GET", "/api/platform/info")]);
    setText("sys-platform", sys.platform);
    setText("sys-detail", sys.platform_detail);
    setText("sys-uname", sys.uname);
    setText("sys-shell", plat.default_shell);
    setText("sys-compiler", plat.default_compiler);
    setText("sys-prompt", plat.shell_prompt);
    const flags = ["is_windows", "is_macos", "is_linux", "is_termux"].filter((k) => plat[k]);
    setText("sys-flags", flags.map((k) => k.slice(3)).join(", "));
    setText("sys-version", sys.server_version);
  } catch (err) {
    setText("sys-detail", `could not load: ${err.message}`);
  }
}

// ---- start ------------------------------------------------------------------------

$("config-form").addEventListener("submit", saveConfig);
$("restart").addEventListener("click", restartServer);
redeemLoginCode().then(() => {
  refreshStatus();
  setInterval(refreshStatus, STATUS_EVERY_MS);
  loadConfig();
  loadSystem();
  loadLogTail().then(openStream);
});
