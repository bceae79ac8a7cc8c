// The corvane page: question -> ranked scene cards, the answer prompt behind a
// toggle and, when the server has a model, the streamed answer with its sources.
// Every text from the server is put in with textContent, never as HTML.
"use strict";

(function () {
  const $ = (id) => document.getElementById(id);
  const TOKEN_KEY = "corvane-token";
  let token = sessionStorage.getItem(TOKEN_KEY) || "";
  let modelConfigured = false;
  let current = null; // AbortController of the question being answered

  function el(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined && text !== null) node.textContent = String(text);
    return node;
  }

  function headers() {
    const h = { "Content-Type": "application/json" };
    if (token) h["Authorization"] = "Bearer " + token;
    return h;
  }

  class ApiError extends Error {
    constructor(status, body) {
      const err = body && body.error;
      super(err && err.message ? err.message : "HTTP " + status);
      this.status = status;
      this.code = err ? err.code : "";
    }
  }

  async function post(path, body, signal) {
    const response = await fetch(path, { method: "POST", headers: headers(), body: JSON.stringify(body), signal });
    if (!response.ok) {
      let payload = null;
      try { payload = await response.json(); } catch (e) { /* not JSON */ }
      if (response.status === 401) $("auth").hidden = false;
      throw new ApiError(response.status, payload);
    }
    return response;
  }

  function setStatus(text, isError) {
    const status = $("status");
    status.textContent = text || "";
    status.classList.toggle("error", !!isError);
  }

  // -- scene cards ------------------------------------------------------------

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

  function arrayOf(value) { return Array.isArray(value) ? value : []; }

  function sceneCard(hit) {
    const scene = hit.scene || {};
    const card = el("article", "card");
    card.id = cardId(hit.scene_id);
    card.dataset.sceneId = hit.scene_id;
    card.appendChild(el("h3", "title", hit.title));
    const meta = el("div", "meta");
    meta.appendChild(el("span", "manual", "手册：" + hit.manual_id));
    meta.appendChild(el("span", "score", "得分：" + hit.score));
    meta.appendChild(el("span", "scene-id", hit.scene_id));
    card.appendChild(meta);
    if (scene.description) card.appendChild(el("p", "description", scene.description));

    const steps = arrayOf(scene.steps);
    const images = arrayOf(scene.images).slice();
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
        for (const image of arrayOf(step.images)) images.push(image);
      }
      card.appendChild(ol);
    }
    const warnings = arrayOf(scene.warning), notices = arrayOf(scene.notice), tips = arrayOf(scene.tip);
    if (warnings.length) card.appendChild(box("warning", "警告", warnings));
    if (notices.length) card.appendChild(box("notice", "注意", notices));
    if (tips.length) card.appendChild(box("tip", "提示", tips));
    if (images.length) {
      card.appendChild(el("h4", null, "图片"));
      const ul = el("ul", "images");
      for (const image of images) {
        const li = el("li", "image");
        li.appendChild(el("span", "caption", image.caption));
        li.appendChild(el("span", "url", image.url));
        ul.appendChild(li);
      }
      card.appendChild(ul);
    }
    return card;
  }

  function showResults(data) {
    const results = $("results");
    results.replaceChildren();
    for (const hit of data.results) results.appendChild(sceneCard(hit));
    $("results-heading").hidden = data.results.length === 0;
    setStatus(data.results.length ? "" : "没有找到相关场景。");
  }

  // -- answer prompt toggle -----------------------------------------------------

  function setPromptOpen(open) {
    $("prompt").hidden = !open;
    const toggle = $("prompt-toggle");
    toggle.setAttribute("aria-expanded", String(open));
    toggle.textContent = open ? "隐藏回答提示词" : "显示回答提示词";
  }

  // -- streamed answer ------------------------------------------------------------

  function showSources(sources) {
    const ol = $("sources");
    ol.replaceChildren();
    for (const source of sources) {
      const li = el("li", "source");
      const target = document.getElementById(cardId(source.scene_id));
      if (target) {
        const a = el("a", null, source.title);
        a.href = "#" + cardId(source.scene_id);
        a.addEventListener("click", (event) => {
          event.preventDefault();
          for (const card of document.querySelectorAll(".card.highlight")) card.classList.remove("highlight");
          target.classList.add("highlight");
          target.scrollIntoView({ behavior: "smooth", block: "start" });
        });
        li.appendChild(a);
      } else {
        li.textContent = source.title;
      }
      ol.appendChild(li);
    }
  }

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

  async function streamAnswer(question, signal) {
    const section = $("answer"), text = $("answer-text"), error = $("answer-error");
    section.hidden = false;
    text.textContent = "";
    error.hidden = true;
    $("sources").replaceChildren();
    text.classList.add("streaming");
    try {
      const response = await post("/v1/answer", { question, stream: true }, signal);
      for await (const event of events(response)) {
        if (event.name === "sources") showSources(event.data.sources);
        else if (event.name === "delta") text.textContent += event.data.text;
        else if (event.name === "error") {
          error.textContent = "模型调用失败：" + event.data.error.message;
          error.hidden = false;
        }
      }
    } catch (e) {
      if (e.name === "AbortError") return;
      if (e.code === "model_not_configured") { section.hidden = true; return; }
      error.textContent = "模型调用失败：" + e.message;
      error.hidden = false;
    } finally {
      text.classList.remove("streaming");
    }
  }

  // -- one question ---------------------------------------------------------------

  async function ask(question) {
    if (current) current.abort();
    const controller = new AbortController();
    current = controller;
    const signal = controller.signal;
    setStatus("检索中…");
    $("answer").hidden = true;
    setPromptOpen(false);
    try {
      const [search, prompt] = await Promise.all([
        post("/v1/search", { question, top_k: 5, include_scene: true }, signal).then((r) => r.json()),
        post("/v1/prompt", { question }, signal).then((r) => r.json()),
      ]);
      showResults(search);
      $("prompt").textContent = prompt.prompt;
      $("prompt-section").hidden = false;
      if (modelConfigured) await streamAnswer(question, signal);
    } catch (e) {
      if (e.name !== "AbortError") setStatus("请求失败：" + e.message, true);
    } finally {
      if (current === controller) current = null;
    }
  }

  async function loadInfo() {
    try {
      const response = await fetch("/healthz");
      const info = await response.json();
      modelConfigured = !!info.model_configured;
      $("index-info").textContent =
        "索引：" + info.entries + " 个场景 · 构建于 " + info.built_at + " · 排序：" + info.ranker +
        (modelConfigured ? " · 已配置模型" : " · 未配置模型（仅检索）");
    } catch (e) {
      $("index-info").textContent = "服务不可用";
    }
  }

  document.addEventListener("DOMContentLoaded", () => {
    $("ask-form").addEventListener("submit", (event) => {
      event.preventDefault();
      const question = $("question").value.trim();
      if (question) ask(question);
    });
    $("prompt-toggle").addEventListener("click", () => setPromptOpen($("prompt").hidden));
    $("auth").addEventListener("submit", (event) => {
      event.preventDefault();
      token = $("token").value.trim();
      sessionStorage.setItem(TOKEN_KEY, token);
      $("auth").hidden = true;
      const question = $("question").value.trim();
      if (question) ask(question);
    });
    loadInfo();
  });
})();
