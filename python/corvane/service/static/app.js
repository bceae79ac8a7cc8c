// The corvane page for owners: a question -> the streamed answer with its sources and
// the manual's scenes as cards; a conversation per tab (kept in sessionStorage and
// sent back as `history`), a vehicle selector, and 👍/👎 feedback on each answer.
// Owner mode shows no scores, scene ids, ranker names or timestamps; `?debug=1`
// shows them (and the answer prompt).
// Every text from the server is put in with textContent, never as HTML.
"use strict";

(function () {
  const $ = (id) => document.getElementById(id);
  const TOKEN_KEY = "corvane-token";
  const CONVERSATION_KEY = "corvane-conversation";
  const VEHICLE_KEY = "corvane-vehicle";
  const MAX_TURNS = 20;          // turns sent as history (the service's bound)
  const MAX_HISTORY_TEXT = 1000; // characters of a question or answer sent back
  const debug = new URLSearchParams(location.search).get("debug") === "1";
  let token = sessionStorage.getItem(TOKEN_KEY) || "";
  let modelConfigured = false;
  let current = null; // AbortController of the question being answered
  let turns = loadTurns();

  function el(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined && text !== null) node.textContent = String(text);
    return node;
  }

  function arrayOf(value) { return Array.isArray(value) ? value : []; }
  function str(value) { return typeof value === "string" ? value : ""; }

  // -- conversation state (one per tab) ------------------------------------------

  function loadTurns() {
    try {
      const saved = JSON.parse(sessionStorage.getItem(CONVERSATION_KEY) || "[]");
      return arrayOf(saved).filter((t) => t && typeof t.question === "string");
    } catch (e) {
      return [];
    }
  }

  function saveTurns() {
    try {
      sessionStorage.setItem(CONVERSATION_KEY, JSON.stringify(turns.slice(-MAX_TURNS)));
    } catch (e) { /* storage full or disabled: the conversation lives in this page only */ }
  }

  function historyToSend() {
    return turns.filter((t) => !t.failed).slice(-MAX_TURNS).map((t) => {
      const item = { question: t.question.slice(0, MAX_HISTORY_TEXT) };
      if (t.answer) item.answer = t.answer.slice(0, MAX_HISTORY_TEXT);
      if (t.topic) item.topic = t.topic;
      return item;
    });
  }

  // -- requests and their errors, in Chinese ---------------------------------------

  function headers() {
    const h = { "Content-Type": "application/json" };
    if (token) h["Authorization"] = "Bearer " + token;
    return h;
  }

  const REASONS = {
    400: "请求无法处理", 401: "需要有效的访问令牌", 403: "没有访问权限", 404: "未找到",
    413: "问题太长", 415: "请求格式不受支持", 422: "请求内容有误", 429: "请求过于频繁，请稍后再试",
    499: "请求已取消", 500: "服务内部错误", 502: "回答服务暂时不可用", 503: "服务暂时不可用，请稍后再试",
    504: "回答超时，请稍后再试",
  };
  const CODE_REASONS = {
    model_timeout: "回答超时，请稍后再试", model_error: "回答服务暂时不可用",
    shutting_down: "服务正在重启，请稍后再问", too_many_model_calls: "提问的人太多，请稍后再试",
    index_unavailable: "手册暂时无法读取，请稍后再试", unknown_answer: "这条回答已过期",
  };

  class ApiError extends Error {
    constructor(status, body) {
      const err = body && (body.error || body);
      super(err && typeof err.message === "string" ? err.message : "HTTP " + status);
      this.status = status;
      this.code = err && typeof err.code === "string" ? err.code : "";
    }
  }

  // The owner's reason for a failure; the server's own words only in debug mode.
  function reason(e) {
    let text;
    if (e instanceof ApiError) text = CODE_REASONS[e.code] || REASONS[e.status] || "服务返回错误";
    else if (e && e.code && CODE_REASONS[e.code]) text = CODE_REASONS[e.code];
    else text = "无法连接服务，请检查网络";
    if (debug && e && e.message) text += "（" + (e.code ? e.code + ": " : "") + e.message + "）";
    return text;
  }

  async function request(method, path, body, signal) {
    const init = { method, headers: headers(), signal };
    if (body !== undefined) init.body = JSON.stringify(body);
    const response = await fetch(path, init);
    if (!response.ok) {
      let payload = null;
      try { payload = await response.json(); } catch (e) { /* not JSON */ }
      if (response.status === 401) $("auth").hidden = false;
      throw new ApiError(response.status, payload);
    }
    return response;
  }
  const post = (path, body, signal) => request("POST", path, body, signal);

  function setStatus(text, isError) {
    const status = $("status");
    status.textContent = text || "";
    status.classList.toggle("error", !!isError);
  }

  // -- pieces of a card --------------------------------------------------------------

  function cardId(sceneId) { return "card-" + sceneId; }

  function list(items, className) {
    const ul = el("ul", className);
    for (const item of items) ul.appendChild(el("li", null, item));
    return ul;
  }

  function box(kind, heading, items) {
    const div = el("div", "box " + kind);
    div.appendChild(el("h4", null, heading));
    div.appendChild(list(items));
    return div;
  }

  function pathText(path) {
    return arrayOf(path).filter((p) => typeof p === "string" && p).join(" › ");
  }

  function tableNode(header, rows) {
    const table = el("table", "scene-table");
    if (header.length) {
      const tr = el("tr");
      for (const cell of header) tr.appendChild(el("th", null, cell));
      el("thead").appendChild(tr);
      table.appendChild(tr.parentNode);
    }
    const tbody = el("tbody");
    for (const row of rows) {
      const tr = el("tr");
      for (const cell of row) tr.appendChild(el("td", null, cell));
      tbody.appendChild(tr);
    }
    table.appendChild(tbody);
    const wrap = el("div", "table-wrap");
    wrap.appendChild(table);
    return wrap;
  }

  const PIPE_ROW = /^\s*\|.*\|\s*$/;
  const RULE_ROW = /^\s*\|?\s*:?-{2,}:?\s*(\|\s*:?-{2,}:?\s*)*\|?\s*$/;
  function pipeCells(line) {
    return line.trim().replace(/^\|/, "").replace(/\|$/, "").split("|").map((c) => c.trim());
  }
  // "指示灯：充电指示灯；含义：正在充电" -> [["指示灯", "充电指示灯"], ["含义", "正在充电"]]
  function pairRow(line) {
    const parts = line.trim().split("；");
    if (parts.length < 2) return null;
    const pairs = [];
    for (const part of parts) {
      const at = part.indexOf("：");
      if (at <= 0 || at > 20) return null;
      pairs.push([part.slice(0, at).trim(), part.slice(at + 1).trim()]);
    }
    return pairs;
  }

  // Text with tables in it (Markdown pipe tables, or the context's "列：值；列：值"
  // rows) as paragraphs and <table>s; everything else stays text.
  // `sources` (an answer's): its "[n]" citations become marks naming the scene.
  function richText(text, className, sources) {
    const root = el("div", className);
    const lines = str(text).split("\n");
    let para = [];
    const flush = () => {
      if (para.length) root.appendChild(sources ? cited(para.join("\n"), sources) : el("p", null, para.join("\n")));
      para = [];
    };
    for (let i = 0; i < lines.length;) {
      if (PIPE_ROW.test(lines[i]) && i + 1 < lines.length && PIPE_ROW.test(lines[i + 1])) {
        const block = [];
        while (i < lines.length && PIPE_ROW.test(lines[i])) block.push(lines[i++]);
        flush();
        let header = [];
        let body = block;
        if (block.length > 1 && RULE_ROW.test(block[1])) { header = pipeCells(block[0]); body = block.slice(2); }
        root.appendChild(tableNode(header, body.map(pipeCells)));
        continue;
      }
      const first = pairRow(lines[i]);
      if (first) {
        const keys = first.map((p) => p[0]).join("\u0000");
        const rows = [first.map((p) => p[1])];
        let j = i + 1;
        for (; j < lines.length; j++) {
          const next = pairRow(lines[j]);
          if (!next || next.map((p) => p[0]).join("\u0000") !== keys) break;
          rows.push(next.map((p) => p[1]));
        }
        if (rows.length >= 2) {
          flush();
          root.appendChild(tableNode(first.map((p) => p[0]), rows));
          i = j;
          continue;
        }
      }
      para.push(lines[i]);
      i++;
    }
    flush();
    return root;
  }

  function cited(text, sources) {
    const p = el("p");
    const byNumber = new Map(sources.filter((x) => x && Number.isInteger(x.n)).map((x) => [x.n, x]));
    let at = 0;
    for (const match of text.matchAll(/\[(\d{1,3})\]/g)) {
      const source = byNumber.get(Number(match[1]));
      if (!source) continue;
      p.appendChild(document.createTextNode(text.slice(at, match.index)));
      const mark = el("sup", "cite", match[0]);
      mark.title = [str(source.title), pathText(source.path)].filter(Boolean).join(" · ");
      p.appendChild(mark);
      at = match.index + match[0].length;
    }
    p.appendChild(document.createTextNode(text.slice(at)));
    return p;
  }

  // Only the service's own image files are shown (a manual cannot make the page load
  // anything from elsewhere); other images keep their caption.
  function imageUrl(url) {
    return typeof url === "string" && url.startsWith("/images/") && !url.includes("..") ? url : null;
  }

  function imageList(images) {
    const ul = el("ul", "images");
    for (const image of images) {
      const li = el("li", "image");
      const url = imageUrl(image.url);
      if (url) {
        const img = el("img");
        img.src = url;
        img.alt = str(image.caption);
        img.loading = "lazy";
        li.appendChild(img);
      }
      li.appendChild(el("span", "caption", image.caption));
      if (debug && !url && image.url) li.appendChild(el("span", "url", image.url));
      ul.appendChild(li);
    }
    return ul;
  }

  // A search result (or an answer's source, which carries the same fields) as a card.
  function sceneCard(hit) {
    const scene = hit.scene || {};
    const card = el("article", "card");
    card.id = cardId(hit.scene_id);
    card.dataset.sceneId = hit.scene_id;
    card.appendChild(el("h3", "title", hit.title));
    const meta = el("div", "meta");
    const manualTitle = str(hit.manual_title) && hit.manual_title !== "document" ? hit.manual_title : "";
    if (manualTitle) meta.appendChild(el("span", "manual-title", manualTitle));
    if (hit.vehicle) meta.appendChild(el("span", "vehicle", hit.vehicle));
    const path = pathText(hit.path);
    if (path) meta.appendChild(el("span", "path", path));
    if (debug) {
      meta.appendChild(el("span", "manual", "手册：" + hit.manual_id));
      if (hit.score !== undefined) meta.appendChild(el("span", "score", "得分：" + hit.score));
      meta.appendChild(el("span", "scene-id", hit.scene_id));
    }
    if (meta.childNodes.length) card.appendChild(meta);

    const tables = arrayOf(hit.tables || scene.tables);
    if (scene.description) card.appendChild(richText(scene.description, "description"));
    else if (!hit.scene && hit.context) card.appendChild(richText(hit.context, "description context"));
    for (const t of tables) {
      if (t && Array.isArray(t.rows)) card.appendChild(tableNode(arrayOf(t.header), t.rows.map(arrayOf)));
    }

    const steps = arrayOf(scene.steps);
    const sceneImages = arrayOf(scene.images).slice();
    if (steps.length) {
      card.appendChild(el("h4", null, "操作步骤"));
      const ol = el("ol", "steps");
      for (const step of steps) {
        const li = el("li", "step");
        li.appendChild(el("span", "num", step.index + "."));
        li.appendChild(el("span", "text", step.text));
        const subs = arrayOf(step.sub_points);
        if (subs.length) li.appendChild(list(subs, "sub-points"));
        ol.appendChild(li);
        for (const image of arrayOf(step.images)) sceneImages.push(image);
      }
      card.appendChild(ol);
    }
    const warnings = arrayOf(scene.warning), notices = arrayOf(scene.notice), tips = arrayOf(scene.tip);
    if (warnings.length) card.appendChild(box("warning", "警告", warnings));
    if (notices.length) card.appendChild(box("notice", "注意", notices));
    if (tips.length) card.appendChild(box("tip", "提示", tips));
    // the result's `images` carry servable urls; the scene's own list is the fallback
    const images = Array.isArray(hit.images) && hit.images.length ? hit.images : sceneImages;
    if (images.length) {
      card.appendChild(el("h4", null, "图片"));
      card.appendChild(imageList(images));
    }
    return card;
  }

  function showCards(hits) {
    const results = $("results");
    results.replaceChildren();
    for (const hit of hits) results.appendChild(sceneCard(hit));
    $("results-heading").hidden = hits.length === 0;
  }

  // -- the answer prompt (debug mode) ---------------------------------------------------

  function setPromptOpen(open) {
    $("prompt").hidden = !open;
    const toggle = $("prompt-toggle");
    toggle.setAttribute("aria-expanded", String(open));
    toggle.textContent = open ? "隐藏回答提示词" : "显示回答提示词";
  }

  // -- sources and feedback of an answer -------------------------------------------------

  function sourceItems(ol, sources) {
    ol.replaceChildren();
    for (const source of sources) {
      const li = el("li", "source");
      const target = document.getElementById(cardId(source.scene_id));
      const label = str(source.title);
      if (target && target.closest("#results")) {
        const a = el("a", null, label);
        a.href = "#" + cardId(source.scene_id);
        a.addEventListener("click", (event) => {
          event.preventDefault();
          for (const card of document.querySelectorAll(".card.highlight")) card.classList.remove("highlight");
          target.classList.add("highlight");
          target.scrollIntoView({ behavior: "smooth", block: "start" });
        });
        li.appendChild(a);
      } else {
        li.appendChild(el("span", "source-title", label));
      }
      const where = [str(source.manual_title) !== "document" ? str(source.manual_title) : "", pathText(source.path)]
        .filter(Boolean).join(" · ");
      if (where) li.appendChild(el("span", "source-path", where));
      if (debug && source.scene_id) li.appendChild(el("span", "scene-id", source.scene_id));
      ol.appendChild(li);
    }
  }

  // The cited sources first; all shown scenes when the answer cites none.
  function orderedSources(sources) {
    const cited = sources.filter((s) => s.cited === true);
    return cited.length ? cited : sources;
  }

  function feedbackControls(container, turn) {
    container.replaceChildren();
    if (turn.answer_id === undefined) { container.hidden = true; return; }
    container.hidden = false;
    if (turn.feedback) {
      container.appendChild(el("span", "feedback-done", "感谢您的反馈"));
      return;
    }
    container.appendChild(el("span", "feedback-ask", "这个回答有帮助吗？"));
    const up = el("button", "rate up", "👍 有帮助");
    const down = el("button", "rate down", "👎 没帮助");
    up.type = down.type = "button";
    up.setAttribute("aria-label", "有帮助");
    down.setAttribute("aria-label", "没有帮助");
    container.append(up, down);
    const form = el("form", "feedback-form");
    form.hidden = true;
    const comment = el("textarea", "feedback-comment");
    comment.placeholder = "补充说明（可选）";
    comment.maxLength = 1000;
    comment.rows = 2;
    const send = el("button", "feedback-send", "提交反馈");
    send.type = "submit";
    const error = el("p", "error feedback-error");
    error.hidden = true;
    form.append(comment, send, error);
    container.appendChild(form);
    let rating = null;
    const choose = (value, button) => {
      rating = value;
      up.classList.toggle("chosen", button === up);
      down.classList.toggle("chosen", button === down);
      form.hidden = false;
      comment.focus();
    };
    up.addEventListener("click", () => choose("up", up));
    down.addEventListener("click", () => choose("down", down));
    form.addEventListener("submit", async (event) => {
      event.preventDefault();
      if (!rating) return;
      const body = { answer_id: turn.answer_id, rating };
      const text = comment.value.trim();
      if (text) body.comment = text;
      send.disabled = true;
      error.hidden = true;
      try {
        await post("/v1/feedback", body);
        turn.feedback = rating;
        saveTurns();
        feedbackControls(container, turn);
      } catch (e) {
        error.textContent = "反馈提交失败：" + reason(e);
        error.hidden = false;
        send.disabled = false;
      }
    });
  }

  // -- the conversation so far -------------------------------------------------------------

  function pastTurn(turn) {
    const li = el("li", "turn");
    li.appendChild(el("p", "turn-q", turn.question));
    if (turn.failed) {
      li.appendChild(el("p", "error", turn.failed));
    } else if (turn.answer) {
      const a = richText(turn.answer, "answer-text", arrayOf(turn.sources));
      if (turn.refused) a.classList.add("refused");
      li.appendChild(a);
      const sources = arrayOf(turn.sources);
      if (sources.length) {
        const ol = el("ol", "sources");
        sourceItems(ol, sources);
        li.appendChild(ol);
      }
      const fb = el("div", "feedback");
      li.appendChild(fb);
      feedbackControls(fb, turn);
    }
    return li;
  }

  function showConversation(upTo) {
    const ol = $("conversation");
    ol.replaceChildren();
    for (const turn of turns.slice(0, upTo)) ol.appendChild(pastTurn(turn));
  }

  function newConversation() {
    if (current) current.abort();
    turns = [];
    saveTurns();
    showConversation(0);
    $("answer").hidden = true;
    showCards([]);
    $("prompt-section").hidden = true;
    setStatus("");
    $("question").value = "";
    $("question").focus();
  }

  // -- the streamed answer ------------------------------------------------------------------

  // Server-sent events from a fetch body: "event: NAME\ndata: JSON\n\n".
  async function* events(response) {
    const reader = response.body.getReader();
    const decoder = new TextDecoder("utf-8");
    let buffer = "";
    for (;;) {
      const { value, done } = await reader.read();
      if (done) break;
      buffer += decoder.decode(value, { stream: true }).replace(/\r\n/g, "\n");
      let end;
      while ((end = buffer.indexOf("\n\n")) >= 0) {
        const block = buffer.slice(0, end);
        buffer = buffer.slice(end + 2);
        let name = "message";
        const data = [];
        for (const line of block.split("\n")) {
          if (line.startsWith("event:")) name = line.slice(6).trim();
          else if (line.startsWith("data:")) data.push(line.slice(5).replace(/^ /, ""));
        }
        if (data.length) yield { name, data: JSON.parse(data.join("\n")) };
      }
    }
  }

  // Streams the answer of `turn` into the answer section.  `cardsFromSources`: the
  // scenes the answer is given become the cards (a follow-up's own words may not find
  // them by search).  Returns false when the server has no model.
  async function streamAnswer(turn, body, signal, cardsFromSources) {
    const section = $("answer"), text = $("answer-text"), error = $("answer-error"), note = $("answer-note");
    section.hidden = false;
    $("answer-question").textContent = turn.question;
    text.replaceChildren();
    text.classList.remove("refused");
    error.hidden = true;
    note.hidden = true;
    $("sources").replaceChildren();
    $("sources-block").hidden = true;
    $("feedback").hidden = true;
    text.classList.add("streaming");
    let answer = "";
    let finished = false;
    try {
      const response = await post("/v1/answer", { ...body, stream: true }, signal);
      for await (const event of events(response)) {
        const data = event.data || {};
        if (event.name === "sources") {
          const sources = arrayOf(data.sources);
          if (cardsFromSources) showCards(sources);
          turn.sources = sources;
          sourceItems($("sources"), sources);
          $("sources-block").hidden = sources.length === 0;
        } else if (event.name === "delta") {
          answer += str(data.text);
          text.textContent = answer;
        } else if (event.name === "done") {
          finished = true;
          turn.answer = answer;
          turn.refused = data.refused === true;
          if ((typeof data.answer_id === "string" && data.answer_id) || typeof data.answer_id === "number") turn.answer_id = data.answer_id;
          if (typeof data.topic === "string" && data.topic) turn.topic = data.topic;
          if (Array.isArray(data.sources)) turn.sources = orderedSources(data.sources);
          if (turn.refused) turn.sources = [];
          sourceItems($("sources"), arrayOf(turn.sources));
          $("sources-block").hidden = arrayOf(turn.sources).length === 0;
          if (turn.refused) {
            text.classList.add("refused");
            note.textContent = "手册中没有找到相关内容。您可以换个说法再问，或联系售后服务。";
            note.hidden = false;
          } else if (data.cited === false && answer) {
            note.textContent = "此回答未标注所依据的手册内容，请以手册为准。";
            note.hidden = false;
          }
        } else if (event.name === "error") {
          const err = data.error || data;
          const e = new Error(str(err.message));
          e.code = str(err.code);
          turn.failed = "回答失败：" + reason(e);
          error.textContent = turn.failed;
          error.hidden = false;
        }
      }
      if (!finished && !turn.failed) {
        turn.failed = "回答中断，请重新提问";
        error.textContent = turn.failed;
        error.hidden = false;
      }
    } catch (e) {
      if (e.name === "AbortError") throw e;
      if (e.code === "model_not_configured") { section.hidden = true; return false; }
      turn.failed = "请求失败：" + reason(e);
      error.textContent = turn.failed;
      error.hidden = false;
    } finally {
      text.classList.remove("streaming");
    }
    if (turn.answer && !turn.failed) {
      text.replaceWith(Object.assign(richText(turn.answer, text.className, arrayOf(turn.sources)), { id: "answer-text" }));
    }
    feedbackControls($("feedback"), turn);
    return true;
  }

  // -- one question ---------------------------------------------------------------------------

  function filters() {
    const vehicle = $("vehicle").value;
    return vehicle ? { vehicle } : {};
  }

  async function ask(question) {
    if (current) current.abort();
    const controller = new AbortController();
    current = controller;
    const signal = controller.signal;
    setStatus("正在查找…");
    showConversation(turns.length);
    $("answer").hidden = true;
    setPromptOpen(false);
    const history = historyToSend();
    const turn = { question };
    const base = { question, ...filters() };
    const followUp = history.length > 0 && modelConfigured;
    if (followUp) showCards([]); // the answer's scenes replace the last question's
    try {
      const pending = [];
      if (!followUp) {
        pending.push(post("/v1/search", { ...base, top_k: 5, include_scene: true }, signal)
          .then((r) => r.json()).then((data) => showCards(arrayOf(data.results))));
      }
      if (debug) {
        pending.push(post("/v1/prompt", base, signal).then((r) => r.json()).then((data) => {
          $("prompt").textContent = data.prompt;
          $("prompt-section").hidden = false;
        }));
      }
      await Promise.all(pending);
      setStatus("");
      if (modelConfigured) {
        const body = history.length ? { ...base, history } : base;
        const answered = await streamAnswer(turn, body, signal, followUp);
        if (answered) {
          turns.push(turn);
          saveTurns();
        }
      }
      if (!$("results").childNodes.length && !turn.answer) setStatus("手册中没有找到相关内容，请换个说法试试。");
    } catch (e) {
      if (e.name !== "AbortError") setStatus("请求失败：" + reason(e), true);
    } finally {
      if (current === controller) current = null;
    }
  }

  // -- start-up: index facts, vehicles, an example question ----------------------------------

  async function loadInfo() {
    try {
      const response = await fetch("/healthz");
      const info = await response.json();
      modelConfigured = !!info.model_configured;
      $("index-info").textContent = debug
        ? "索引：" + info.entries + " 个场景 · 构建于 " + info.built_at + " · 排序：" + info.ranker +
          (modelConfigured ? " · 已配置模型" : " · 未配置模型（仅检索）")
        : (modelConfigured ? "根据车主手册回答您的问题" : "在车主手册中查找（暂不提供智能回答）");
    } catch (e) {
      $("index-info").textContent = "服务暂时不可用，请稍后再试";
    }
  }

  function vehicleName(item) {
    if (typeof item === "string") return item;
    return item && typeof item.vehicle === "string" ? item.vehicle : "";
  }

  async function loadVehicles() {
    let vehicles = [];
    try {
      const response = await request("GET", "/v1/vehicles");
      vehicles = arrayOf((await response.json()).vehicles);
    } catch (e) {
      return []; // an older service or no catalog: no selector
    }
    const select = $("vehicle");
    const names = vehicles.map(vehicleName).filter(Boolean);
    for (const name of names) {
      const option = el("option", null, name);
      option.value = name;
      select.appendChild(option);
    }
    if (names.length) {
      select.hidden = false;
      document.querySelector(".vehicle-label").hidden = false;
      const saved = sessionStorage.getItem(VEHICLE_KEY);
      if (saved && names.includes(saved)) select.value = saved;
    }
    return vehicles;
  }

  // The example in the question box comes from the loaded manuals: the first scene a
  // search finds for the chosen vehicle's (or first manual's) title, or else for a few
  // words most owner's manuals use.  The hybrid ranker finds scenes for a single word;
  // where it is not available the server's own ranker is asked.
  const COMMON_WORDS = ["更换", "打开", "设置"];
  async function examplePlaceholder(vehicles) {
    const input = $("question");
    const vehicle = $("vehicle").value;
    const entry = vehicles.find((v) => vehicleName(v) === vehicle) || vehicles[0];
    const manual = entry && arrayOf(entry.manuals)[0];
    const named = [vehicle, manual && str(manual.title)].filter(Boolean).join(" ");
    let ranker = { ranker: "hybrid" };
    for (const seed of (named ? [named] : []).concat(COMMON_WORDS)) {
      try {
        const response = await post("/v1/search", { question: seed, top_k: 1, ...ranker, ...filters() });
        const hit = arrayOf((await response.json()).results)[0];
        if (hit && str(hit.title)) { input.placeholder = "例如：" + hit.title + "怎么操作？"; return; }
      } catch (e) {
        if (e instanceof ApiError && e.status === 400 && ranker.ranker) { ranker = {}; continue; }
        break; // no access or no service: keep the neutral placeholder
      }
    }
    input.placeholder = "输入您的问题";
  }

  document.addEventListener("DOMContentLoaded", async () => {
    document.body.classList.toggle("debug", debug);
    showConversation(turns.length);
    $("ask-form").addEventListener("submit", (event) => {
      event.preventDefault();
      const question = $("question").value.trim();
      if (question) ask(question);
    });
    $("prompt-toggle").addEventListener("click", () => setPromptOpen($("prompt").hidden));
    $("new-conversation").addEventListener("click", newConversation);
    $("auth").addEventListener("submit", (event) => {
      event.preventDefault();
      token = $("token").value.trim();
      sessionStorage.setItem(TOKEN_KEY, token);
      $("auth").hidden = true;
      const question = $("question").value.trim();
      if (question) ask(question);
    });
    let vehicles = [];
    $("vehicle").addEventListener("change", () => {
      sessionStorage.setItem(VEHICLE_KEY, $("vehicle").value);
      examplePlaceholder(vehicles);
    });
    const [, listed] = await Promise.all([loadInfo(), loadVehicles()]);
    vehicles = listed;
    document.body.dataset.ready = "1";
    examplePlaceholder(vehicles);
  });
})();
