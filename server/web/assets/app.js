// The chat page: one WebSocket to the server that served it, the protocol's
// records both ways (codec.js), and what a user sees of them.
(function () {
  "use strict";
  const { Codes: C, encodeRecord, decodeText, StreamDecoder } = window.KelvraCodec;
  const $ = (id) => document.getElementById(id);
  const MESSAGES = "\u0000messages"; // the pane key of private messages and notices

  const S = {
    ws: null,
    nick: "", icon: 0, user: "", password: "",
    serverNick: "",
    online: false,        // logged on: the chat view is live
    settling: null,       // a login waiting for its answers
    stateNicks: 0,        // KMC_SERVERNICK records that belong to a login's state
    markers: [],          // our KMS_SERVERNICK markers: "login", "mail"
    mailCount: 0,
    rooms: [], users: [], // as the server announced them
    panes: new Map(),     // lower-case room name (or MESSAGES) -> pane
    active: MESSAGES,
    rejoin: [],           // rooms to be back in after a reconnect
    kicked: false, leaving: false, shutdown: false,
    retry: 0, retryTimer: 0,
    completion: null,
  };

  // ASCII case only, as the server compares names.
  const lower = (s) => s.replace(/[A-Z]/g, (c) => c.toLowerCase());
  const same = (a, b) => lower(a) === lower(b);
  const hhmm = () => {
    const d = new Date();
    return String(d.getHours()).padStart(2, "0") + ":" + String(d.getMinutes()).padStart(2, "0");
  };
  const setStatus = (text) => { $("status").textContent = text; };

  // ---- panes -------------------------------------------------------------

  function pane(key) { return S.panes.get(key); }

  function openPane(key, title) {
    let p = pane(key);
    if (p) return p;
    const tab = document.createElement("button");
    tab.type = "button";
    tab.setAttribute("role", "tab");
    tab.id = "tab-" + S.panes.size + "-" + Date.now();
    tab.textContent = title;
    const log = document.createElement("ol");
    log.className = "pane";
    log.setAttribute("role", "log");
    log.setAttribute("aria-live", "polite");
    log.setAttribute("aria-label", key === MESSAGES ? "Messages and notices" : "Room " + title);
    log.setAttribute("aria-labelledby", tab.id);
    log.hidden = true;
    log.tabIndex = 0;
    tab.addEventListener("click", () => activate(key));
    $("tabs").appendChild(tab);
    $("panes").appendChild(log);
    p = { key, title, tab, log, unread: 0 };
    S.panes.set(key, p);
    return p;
  }

  function closePane(key) {
    const p = pane(key);
    if (!p || key === MESSAGES) return;
    p.tab.remove();
    p.log.remove();
    S.panes.delete(key);
    if (S.active === key) activate(MESSAGES);
  }

  function activate(key) {
    S.active = key;
    for (const p of S.panes.values()) {
      const on = p.key === key;
      p.tab.setAttribute("aria-selected", on ? "true" : "false");
      p.log.hidden = !on;
      if (on) {
        p.unread = 0;
        p.tab.classList.remove("unread");
        p.tab.textContent = p.title;
        p.log.scrollTop = p.log.scrollHeight;
      }
    }
    $("private-to").hidden = key !== MESSAGES;
    $("leave").disabled = key === MESSAGES;
    $("invite").disabled = key === MESSAGES;
  }

  // One line: "HH:MM" and parts, each a string or [text, class].
  function line(key, parts, cls) {
    const p = pane(key) || pane(MESSAGES);
    const li = document.createElement("li");
    if (cls) li.className = cls;
    const t = document.createElement("span");
    t.className = "time";
    t.textContent = hhmm();
    li.appendChild(t);
    for (const part of parts) {
      if (part instanceof Node) li.appendChild(part);
      else if (Array.isArray(part)) {
        const s = document.createElement("span");
        s.className = part[1];
        s.textContent = part[0];
        li.appendChild(s);
      } else li.appendChild(document.createTextNode(part));
    }
    const atEnd = p.log.scrollTop + p.log.clientHeight >= p.log.scrollHeight - 4;
    p.log.appendChild(li);
    if (atEnd) p.log.scrollTop = p.log.scrollHeight;
    if (p.key !== S.active) {
      p.unread++;
      p.tab.classList.add("unread");
      p.tab.textContent = p.title + " (" + p.unread + ")";
    }
    return li;
  }

  const notice = (text, key) => line(key || S.active, [text], "notice");
  const alertLine = (text) => {
    line(MESSAGES, [text], "alert");
    if (S.active !== MESSAGES) line(S.active, [text], "alert");
  };

  // "<nick> text", the way clients put their name into chat text.
  function conventional(text) {
    const m = /^<([^<>]+)> (.*)$/s.exec(text);
    return m ? ["<", [m[1], "nick"], "> " + m[2]] : [text];
  }

  // ---- lists -------------------------------------------------------------

  function renderRooms() {
    const ul = $("rooms");
    ul.textContent = "";
    for (const r of S.rooms) {
      const li = document.createElement("li");
      const name = document.createElement("span");
      name.className = "name";
      name.textContent = r.name + (r.secure ? " 🔒" : "");
      name.title = r.secure ? r.name + " (secure: join by invitation)" : r.name;
      li.appendChild(name);
      if (r.secure) li.setAttribute("aria-label", r.name + ", secure");
      const joined = !!pane(lower(r.name));
      const b = document.createElement("button");
      b.type = "button";
      b.textContent = joined ? "Open" : "Join";
      b.setAttribute("aria-label", (joined ? "Open " : "Join ") + r.name);
      b.addEventListener("click", () => (joined ? activate(lower(r.name)) : join(r.name, false)));
      li.appendChild(b);
      ul.appendChild(li);
    }
    $("room-count").textContent = "(" + S.rooms.length + ")";
  }

  function renderUsers() {
    const ul = $("users");
    const list = $("nick-list");
    ul.textContent = "";
    list.textContent = "";
    const named = S.users.filter((u) => u.nick !== "");
    for (const u of named) {
      const li = document.createElement("li");
      const name = document.createElement("span");
      name.className = "name";
      name.textContent = u.nick + (same(u.nick, S.nick) ? " (you)" : "");
      li.appendChild(name);
      if (!same(u.nick, S.nick)) {
        const b = document.createElement("button");
        b.type = "button";
        b.textContent = "Message";
        b.setAttribute("aria-label", "Private message to " + u.nick);
        b.addEventListener("click", () => privateTo(u.nick));
        li.appendChild(b);
      }
      ul.appendChild(li);
      const o = document.createElement("option");
      o.value = u.nick;
      list.appendChild(o);
    }
    $("user-count").textContent = "(" + named.length + ")";
  }

  function privateTo(nick) {
    activate(MESSAGES);
    $("to").value = nick;
    $("text").focus();
  }

  // ---- sending -----------------------------------------------------------

  function send(code, p1, p2, sw) {
    if (!S.ws || S.ws.readyState !== WebSocket.OPEN) {
      alertLine("Not connected: nothing was sent.");
      return false;
    }
    const { bytes, unsendable } = encodeRecord(code, p1, p2, sw);
    S.ws.send(bytes);
    if (unsendable > 0)
      notice(unsendable + (unsendable === 1 ? " character" : " characters") +
             " could not be sent (the server's character set lacks them) and became \"?\".");
    return true;
  }

  const marker = (kind) => { S.markers.push(kind); send(C.KMS_SERVERNICK); };

  function join(name, pass) {
    if (name.trim() === "") return;
    send(C.KMS_JOIN, name, "", pass);
  }

  function create(name, secure) {
    if (name.trim() === "") {
      notice("A room needs a name.");
      return;
    }
    send(C.KMS_CREATE, name, "", secure);
  }

  function leave(key) {
    const p = pane(key);
    if (!p || key === MESSAGES) return;
    send(C.KMS_QUITCHAT, p.title);
    notice("You left " + p.title + ".", MESSAGES);
    closePane(key);
    renderRooms();
  }

  function sayInRoom(room, text, emote) {
    const body = emote ? S.nick + " " + text : "<" + S.nick + "> " + text;
    send(C.KMS_CHATDATA, room, body, emote);
  }

  function sendPrivate(to, text, anonymous) {
    if (to.trim() === "") {
      notice("Whom to? Type a nickname in the To field, or use /msg NICK TEXT.", MESSAGES);
      return;
    }
    if (same(to, S.nick)) {
      notice("That is you.", MESSAGES);
      return;
    }
    if (!send(C.KMS_MESSAGE, to, text, anonymous)) return;
    const online = S.users.some((u) => same(u.nick, to));
    line(MESSAGES, [["→ " + to + (anonymous ? " (anonymous)" : "") + ": ", "nick"], text], "private");
    if (!online) notice(to + " is not online: the message waits as mail.", MESSAGES);
  }

  function invite(nick, room) {
    if (!S.users.some((u) => same(u.nick, nick))) {
      notice(nick + " is not online; an invitation cannot wait as mail.");
      return;
    }
    send(C.KMS_INVITE, nick, room);
    notice("Invitation to " + room + " sent to " + nick + ".");
  }

  function fetchMail() {
    S.mailCount = 0;
    send(C.KMS_GETPOST);
    marker("mail");
  }

  const HELP = [
    "Commands:",
    "  TEXT                     say TEXT in this room (in Messages: to the To field's user)",
    "  /me TEXT                 an action in this room",
    "  /msg NICK TEXT           private message",
    "  /anon NICK TEXT          anonymous private message",
    "  /join [--pass] ROOM      join a room (--pass: into a secure room)",
    "  /create [--secure] ROOM  create a room and join it",
    "  /part                    leave this room",
    "  /invite NICK             invite NICK into this room",
    "  /mail                    fetch mail waiting for you",
    "  /quit                    log off",
  ];

  function command(input) {
    const [word, ...rest] = input.split(" ");
    const tail = rest.join(" ");
    const firstAndRest = () => {
      const i = tail.indexOf(" ");
      return i < 0 ? [tail, ""] : [tail.slice(0, i), tail.slice(i + 1)];
    };
    const room = S.active === MESSAGES ? null : pane(S.active).title;
    switch (word.toLowerCase()) {
      case "/help": HELP.forEach((h) => notice(h)); break;
      case "/me":
        if (room) sayInRoom(room, tail, true); else notice("/me works in a room.");
        break;
      case "/msg": case "/anon": {
        const [to, text] = firstAndRest();
        sendPrivate(to, text, word.toLowerCase() === "/anon");
        break;
      }
      case "/join": case "/create": {
        const flag = tail.startsWith("--");
        const name = flag ? firstAndRest()[1] : tail;
        if (word.toLowerCase() === "/join") join(name, flag && tail.startsWith("--pass"));
        else create(name, flag && tail.startsWith("--secure"));
        break;
      }
      case "/part": case "/leave":
        if (room) leave(S.active); else notice("/part works in a room.");
        break;
      case "/invite":
        if (room) invite(firstAndRest()[0], room); else notice("/invite works in a room.");
        break;
      case "/mail": fetchMail(); break;
      case "/quit": logOff(); break;
      default: notice("Unknown command " + word + "; /help lists them.");
    }
  }

  function submitText() {
    const input = $("text");
    const text = input.value;
    if (text.trim() === "") return;
    input.value = "";
    if (text.startsWith("/") && !text.startsWith("//")) {
      command(text.trim());
      return;
    }
    const body = text.startsWith("//") ? text.slice(1) : text;
    if (S.active === MESSAGES) sendPrivate($("to").value.trim(), body, $("anon").checked);
    else sayInRoom(pane(S.active).title, body, false);
  }

  // Tab completes the nickname being typed; Tab again goes on to the next.
  function complete(e) {
    const input = $("text");
    const c = S.completion;
    let prefix, start, matches, index;
    if (c && input.value === c.result) {
      ({ prefix, start, matches } = c);
      index = (c.index + 1) % matches.length;
    } else {
      const before = input.value.slice(0, input.selectionStart);
      start = before.lastIndexOf(" ") + 1;
      prefix = before.slice(start);
      if (prefix === "") return;
      matches = S.users.map((u) => u.nick).filter((n) => n && lower(n).startsWith(lower(prefix)));
      if (matches.length === 0) return;
      index = 0;
    }
    e.preventDefault();
    const nick = matches[index];
    const suffix = start === 0 && !input.value.startsWith("/") ? ": " : " ";
    const rest = input.value.slice(start + (c && input.value === c.result ? c.inserted.length : prefix.length));
    const result = input.value.slice(0, start) + nick + suffix + rest.replace(/^[:]? /, "");
    input.value = result;
    input.selectionStart = input.selectionEnd = start + (nick + suffix).length;
    S.completion = { prefix, start, matches, index, result, inserted: nick + suffix };
  }

  // ---- receiving ---------------------------------------------------------

  function onRecord(r) {
    const p1 = decodeText(r.param1);
    const p2 = decodeText(r.param2);
    switch (r.code) {
      case C.KMC_OKAY:
        if (S.settling) S.settling.okay = true;
        S.stateNicks++;
        S.rooms = [];
        S.users = [];
        break;
      case C.KMC_BADNICK: case C.KMC_NICKINUSE: case C.KMC_BANNED:
        if (S.settling) S.settling.refusal = r.code;
        else alertLine("The server refused the nickname.");
        break;
      case C.KMC_BADPASS:
        if (S.settling) S.settling.badPass = true;
        else alertLine("Wrong server password.");
        break;
      case C.KMC_SERVERNICK:
        S.serverNick = p1;
        if (S.stateNicks > 0) S.stateNicks--;
        else onMarker(S.markers.shift());
        break;
      case C.KMC_ADDCHAT:
        S.rooms.push({ name: p1, secure: r.sw });
        renderRooms();
        break;
      case C.KMC_DELCHAT: {
        const i = S.rooms.findIndex((x) => same(x.name, p1));
        if (i >= 0) S.rooms.splice(i, 1);
        closePane(lower(p1));
        renderRooms();
        break;
      }
      case C.KMC_ADDUSER:
        S.users.push({ nick: p1, icon: p2 });
        renderUsers();
        break;
      case C.KMC_DELUSER: {
        const i = S.users.findIndex((u) => same(u.nick, p1));
        if (i >= 0) S.users.splice(i, 1);
        renderUsers();
        break;
      }
      case C.KMC_JOINED: {
        const p = openPane(lower(p1), p1);
        activate(p.key);
        renderRooms();
        break;
      }
      case C.KMC_CHATDATA: {
        const key = pane(lower(p1)) ? lower(p1) : MESSAGES;
        const prefix = key === MESSAGES ? ["[" + p1 + "] "] : [];
        const kind = p2.charAt(0);
        const text = p2.slice(1);
        if (kind === "S") line(key, [...prefix, "-- " + text], "notice");
        else if (kind === "E") line(key, [...prefix, "* " + text]);
        else if (kind === "N") line(key, [...prefix, ...conventional(text)]);
        else line(key, [...prefix, p2]);
        break;
      }
      case C.KMC_MESSAGE:
        onMessage(p1, p2, r.sw);
        break;
      case C.KMC_INVITE: {
        const parts = [["Invitation from " + (p1 || "(no nickname)"), "nick"]];
        if (p2 !== "") parts.push(" to " + p2);
        const room = S.rooms.find((x) => same(x.name, p2));
        if (room) {
          const b = document.createElement("button");
          b.type = "button";
          b.textContent = "Join " + room.name;
          b.addEventListener("click", () => join(room.name, true));
          parts.push(b);
        }
        line(MESSAGES, parts, "private");
        if (S.active !== MESSAGES) line(S.active, parts.filter((x) => !(x instanceof Node)), "private");
        break;
      }
      case C.KMC_BYE: {
        send(C.KMS_QUITCHAT, p1);
        notice("The operator closed room " + p1 + ".", MESSAGES);
        closePane(lower(p1));
        renderRooms();
        break;
      }
      case C.KMC_KICK:
        S.kicked = true;
        alertLine("You were kicked by the operator.");
        send(C.KMS_QUIT);
        S.ws.close();
        break;
      case C.KMC_STATUS:
        if (p1 === "Server is shuting down...") {
          S.shutdown = true;
          alertLine("The server is shutting down.");
        } else {
          alertLine(p1);
        }
        break;
      case C.KMC_PING:
        send(C.KMS_PING);
        break;
      default:
        break;
    }
  }

  function onMessage(from, text, anonymous) {
    if (S.markers[0] === "mail") S.mailCount++;
    const mail = S.markers[0] === "mail" ? "(mail) " : "";
    if (!anonymous && S.serverNick !== "" && from === S.serverNick) {
      line(MESSAGES, [mail, ["Server " + from + ": ", "nick"], text], "notice");
      if (S.active !== MESSAGES) line(S.active, [["Server " + from + ": ", "nick"], text], "notice");
      return;
    }
    line(MESSAGES, [mail, "<", [anonymous ? "Anonymous" : from, "nick"], "> " + text], "private");
  }

  function onMarker(kind) {
    if (kind === "login") settleLogin();
    else if (kind === "mail") {
      const n = S.mailCount;
      notice(n === 0 ? "No mail waiting." : n + (n === 1 ? " message was" : " messages were") +
             " waiting for you (shown above).", MESSAGES);
      if (n > 0) activate(MESSAGES);
    }
  }

  function refusalText(s) {
    const why = [];
    if (s.refusal === C.KMC_BADNICK) why.push("the nickname is empty");
    else if (s.refusal === C.KMC_NICKINUSE)
      why.push(S.serverNick && same(S.nick.trim(), S.serverNick.trim())
        ? S.nick + " is the server's own nickname"
        : "the nickname " + S.nick + " is already in use");
    else if (s.refusal === C.KMC_BANNED) why.push("you are banned from this server");
    if (s.badPass) why.push("wrong server password");
    if (why.length === 0 && !s.okay) why.push("the server did not answer the login");
    return why.join("; ");
  }

  function settleLogin() {
    const s = S.settling;
    S.settling = null;
    if (!s) return;
    if (s.refusal || s.badPass || !s.okay) {
      const reason = refusalText(s);
      S.leaving = true;
      send(C.KMS_QUIT);
      S.ws.close();
      showLogin("Log on refused: " + reason + ".");
      return;
    }
    S.online = true;
    S.retry = 0;
    $("login").hidden = true;
    $("chat").hidden = false;
    $("logoff").hidden = false;
    setStatus("Logged on as " + S.nick + " (server " + S.serverNick + ")");
    notice("Logged on as " + S.nick + ".", MESSAGES);
    const back = S.rejoin;
    S.rejoin = [];
    for (const r of back) {
      if (S.rooms.some((x) => same(x.name, r.name))) join(r.name, true);
      else create(r.name, r.secure);
    }
    fetchMail();
    $("text").focus();
  }

  // ---- connection --------------------------------------------------------

  function connect() {
    clearTimeout(S.retryTimer);
    const scheme = location.protocol === "https:" ? "wss://" : "ws://";
    let ws;
    try {
      ws = new WebSocket(scheme + location.host + "/ws");
    } catch (e) {
      showLogin("Cannot connect: " + e.message);
      return;
    }
    ws.binaryType = "arraybuffer";
    const decoder = new StreamDecoder();
    S.ws = ws;
    S.markers = [];
    S.stateNicks = 0;
    S.kicked = false;
    S.leaving = false;
    S.shutdown = false;
    setStatus("Connecting…");
    ws.onopen = () => {
      setStatus("Logging on…");
      S.settling = { okay: false, refusal: 0, badPass: false };
      send(C.KMS_LOGIN, S.nick, String(S.icon));
      send(C.KMS_USER, S.user || S.nick, S.password);
      marker("login");
    };
    ws.onmessage = (e) => {
      if (S.ws !== ws) return;
      for (const r of decoder.push(new Uint8Array(e.data))) onRecord(r);
    };
    ws.onclose = () => {
      if (S.ws !== ws) return;
      S.ws = null;
      lost();
    };
  }

  function lost() {
    const wasOnline = S.online;
    S.online = false;
    S.settling = null;
    if (S.leaving) return;
    if (S.kicked) {
      showLogin("You were kicked by the operator.");
      return;
    }
    if (wasOnline) {
      S.rejoin = [];
      for (const p of S.panes.values())
        if (p.key !== MESSAGES) {
          const r = S.rooms.find((x) => same(x.name, p.title));
          S.rejoin.push({ name: p.title, secure: r ? r.secure : false });
        }
      alertLine(S.shutdown ? "The server shut down." : "The connection was lost.");
    }
    // A reconnect that found no server yet tries again, later.
    if (wasOnline || S.retry > 0) retryLater();
    else showLogin("Cannot reach the chat server.");
  }

  function retryLater() {
    const delay = Math.min(30, 2 ** Math.min(S.retry, 5));
    S.retry++;
    setStatus("Connection lost; trying again in " + delay + " s…");
    S.retryTimer = setTimeout(connect, delay * 1000);
  }

  function showLogin(message) {
    clearTimeout(S.retryTimer);
    S.retry = 0;
    S.online = false;
    $("chat").hidden = true;
    $("logoff").hidden = true;
    $("login").hidden = false;
    setStatus("Not connected");
    const err = $("login-error");
    err.hidden = !message;
    err.textContent = message || "";
    for (const key of [...S.panes.keys()]) closePane(key);
    $("nick").focus();
  }

  function logOff() {
    S.leaving = true;
    S.rejoin = [];
    if (S.ws) {
      send(C.KMS_QUIT);
      S.ws.close();
    }
    showLogin("");
  }

  // ---- wiring ------------------------------------------------------------

  $("login-form").addEventListener("submit", (e) => {
    e.preventDefault();
    const nick = $("nick").value.trim();
    if (nick === "") {
      showLogin("Log on refused: the nickname is empty.");
      return;
    }
    const icon = parseInt($("icon").value, 10);
    S.nick = nick;
    S.icon = Number.isFinite(icon) ? icon : 0;
    S.user = $("user").value.trim();
    S.password = $("password").value;
    S.rejoin = [];
    S.retry = 0;
    $("login-error").hidden = true;
    if (S.ws) {
      S.leaving = true;
      S.ws.close();
      S.ws = null;
    }
    openPane(MESSAGES, "Messages");
    activate(MESSAGES);
    connect();
  });
  $("say-form").addEventListener("submit", (e) => {
    e.preventDefault();
    submitText();
  });
  $("text").addEventListener("keydown", (e) => {
    if (e.key === "Tab" && !e.shiftKey) complete(e);
    else if (e.key !== "Shift") S.completion = null;
  });
  $("create-form").addEventListener("submit", (e) => {
    e.preventDefault();
    create($("new-room").value, $("new-secure").checked);
    $("new-room").value = "";
    $("new-secure").checked = false;
  });
  $("leave").addEventListener("click", () => leave(S.active));
  $("mail").addEventListener("click", fetchMail);
  $("invite").addEventListener("click", () => {
    if (S.active === MESSAGES) return;
    const nick = window.prompt("Invite whom into " + pane(S.active).title + "?");
    if (nick) invite(nick.trim(), pane(S.active).title);
  });
  $("logoff").addEventListener("click", logOff);
  // Alt+Left/Right moves between conversations.
  document.addEventListener("keydown", (e) => {
    if (!e.altKey || (e.key !== "ArrowLeft" && e.key !== "ArrowRight") || $("chat").hidden) return;
    const keys = [...S.panes.keys()];
    const i = keys.indexOf(S.active) + (e.key === "ArrowRight" ? 1 : -1);
    if (i >= 0 && i < keys.length) {
      e.preventDefault();
      activate(keys[i]);
    }
  });
  window.addEventListener("beforeunload", () => {
    if (S.ws && S.ws.readyState === WebSocket.OPEN) {
      S.leaving = true;
      send(C.KMS_QUIT);
    }
  });
})();
