"""The web page in a real browser: the system's Chromium driven by Playwright.

Skipped when Playwright or Chromium is not installed (.ci/install-browser
installs both).  CORVANE_SERVE_SCREENSHOT=PATH saves a screenshot of the page
with a streamed answer (the README's picture).  These run the page in its debug
mode (``?debug=1``: scores, manual ids and the answer prompt shown) against the
real service; the owners' view is tested in test_page_owner.py.
"""
from __future__ import annotations

import os
import shutil

import pytest

pytest.importorskip("fastapi")
pytest.importorskip("uvicorn")
pytest.importorskip("prometheus_client")
sync_api = pytest.importorskip("playwright.sync_api", reason="Playwright is not installed")

from service_support import ANSWER_PIECES, FakeModel, ServerProcess, example_folder, rebuild_index  # noqa: E402

CHROMIUM = next((p for p in ("/usr/bin/chromium", shutil.which("chromium") or "",
                             shutil.which("chromium-browser") or "") if p and os.path.exists(p)), None)
pytestmark = pytest.mark.skipif(CHROMIUM is None, reason="no system Chromium (apt-get install chromium)")

HOSTILE_MANUAL = """# 第一章 钥匙

## 遥控钥匙

### 说明
钥匙说明<script>window.__pwned = 1</script>结束

### 操作步骤
1. 按下<b>解锁</b>键<img src=x onerror="window.__pwned = 2">
   - 子项<script>window.__pwned = 3</script>

### 警告
- 警告<iframe src="javascript:window.__pwned = 4"></iframe>
"""


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    folder = example_folder(tmp_path_factory.mktemp("browser"))
    (folder / "data" / "manuals" / "hostile<script>.md").write_text(HOSTILE_MANUAL, encoding="utf-8")
    rebuild_index(folder)
    return folder


@pytest.fixture(scope="module")
def browser():
    with sync_api.sync_playwright() as p:
        b = p.chromium.launch(executable_path=CHROMIUM, args=["--no-sandbox"])
        yield b
        b.close()


@pytest.fixture
def page(browser):
    context = browser.new_context(viewport={"width": 1100, "height": 1300}, locale="zh-CN")
    pg = context.new_page()
    pg.set_default_timeout(15000)
    errors: list[str] = []
    pg.on("pageerror", lambda exc: errors.append(str(exc)))
    yield pg
    context.close()
    assert errors == []


def ask(page, question: str) -> None:
    page.fill("#question", question)
    page.click("#ask")
    page.wait_for_selector(".card")


def test_page_with_a_streamed_answer(site, page):
    fake = FakeModel(piece_delay=0.15)
    try:
        with ServerProcess(site, env={"CORVANE_LLM_URL": fake.url("ok")}) as server:
            page.goto(server.url + "/?debug=1")
            page.wait_for_function("document.getElementById('index-info').textContent.length > 0")
            ask(page, "爆胎了怎么换备胎")

            card = page.locator("#card-aster_e5_care_scene_1")
            assert card.locator("h3").inner_text() == "更换轮胎"
            assert "aster_e5_care" in card.locator(".manual").inner_text()
            assert "12" in card.locator(".score").inner_text()
            assert card.locator(".steps > li").count() == 6
            assert card.locator(".sub-points li").all_inner_texts()[:3] == ["千斤顶", "轮胎扳手", "警示三角牌"]
            assert "严禁进入车底" in card.locator(".box.warning").inner_text()
            assert "授权服务中心" in card.locator(".box.tip").inner_text()
            assert card.locator(".images .caption").all_inner_texts() == ["更换轮胎-步骤2图片"]

            # the answer prompt, behind its toggle
            assert page.locator("#prompt").is_hidden()
            page.click("#prompt-toggle")
            assert page.locator("#prompt").is_visible()
            assert "爆胎了怎么换备胎" in page.locator("#prompt").inner_text()
            assert page.get_attribute("#prompt-toggle", "aria-expanded") == "true"

            # the streamed answer and its sources, linked to the cards
            answer = "".join(ANSWER_PIECES)
            page.wait_for_function(
                "(want) => document.getElementById('answer-text').textContent === want"
                " && !document.getElementById('answer-text').classList.contains('streaming')",
                arg=answer,
            )
            link = page.locator("#sources a").first
            assert link.inner_text() == "更换轮胎"
            assert link.get_attribute("href") == "#card-aster_e5_care_scene_1"
            link.click()
            page.wait_for_selector("#card-aster_e5_care_scene_1.highlight")
            page.click("#prompt-toggle")
            assert page.locator("#prompt").is_hidden()
            if os.environ.get("CORVANE_SERVE_SCREENSHOT"):
                page.evaluate("window.scrollTo(0, 0)")
                page.screenshot(path=os.environ["CORVANE_SERVE_SCREENSHOT"], full_page=False)
    finally:
        fake.close()


def test_page_without_a_model_escapes_everything(site, page):
    with ServerProcess(site) as server:
        page.goto(server.url + "/?debug=1")
        page.wait_for_function("document.getElementById('index-info').textContent.includes('未配置模型')")
        ask(page, "遥控钥匙")
        card = page.locator(".card").first
        assert card.locator("h3").inner_text() == "遥控钥匙"
        assert "hostile<script>" in card.locator(".manual").inner_text()
        assert card.locator(".description").inner_text() == "钥匙说明<script>window.__pwned = 1</script>结束"
        assert "<img src=x" in card.locator(".steps").inner_text()
        assert "<script>window.__pwned = 3</script>" in card.locator(".sub-points").inner_text()
        assert "<iframe" in card.locator(".box.warning").inner_text()
        assert page.evaluate("window.__pwned") is None
        assert page.locator("#results script, #results img, #results iframe, #results b").count() == 0
        # search only: no answer section, the prompt still behind its toggle
        assert page.locator("#answer").is_hidden()
        page.click("#prompt-toggle")
        assert "遥控钥匙" in page.locator("#prompt").inner_text()

        # a question with markup is shown back as text too
        ask(page, "<img src=x onerror=window.__pwned=5>爆胎")
        page.click("#prompt-toggle")
        assert "<img src=x onerror=window.__pwned=5>" in page.locator("#prompt").inner_text()
        assert page.evaluate("window.__pwned") is None



def test_owner_view_of_the_real_service(site, page):
    """The owners' view over the service as it is: no scores, scene or manual ids,
    ranker or build time; an example question from the loaded manuals."""
    with ServerProcess(site) as server:
        page.goto(server.url + "/")
        page.wait_for_selector("body[data-ready='1']", state="attached")
        page.wait_for_function("() => document.getElementById('question').placeholder.startsWith('例如：')")
        assert page.get_attribute("#question", "placeholder") == "例如：更换轮胎怎么操作？"
        # the example catalog's one vehicle in the selector
        assert page.locator("#vehicle").is_visible() and "Aster E5" in page.locator("#vehicle").inner_text()
        ask(page, "爆胎了怎么换备胎")
        assert page.locator("#card-aster_e5_care_scene_1 h3").inner_text() == "更换轮胎"
        text = page.locator("body").inner_text()
        for hidden in ("得分", "aster_e5_care", "exact", "hybrid", "构建于", "document"):
            assert hidden not in text
        assert page.locator("#prompt-section").is_hidden() and page.locator("#answer").is_hidden()
