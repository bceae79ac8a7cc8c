"""Plain Python definitions of the parsing rules, written straight from the
documented behaviour with the host's `re`.  Property tests compare the compiled
modules against them on random input."""
from __future__ import annotations

import re

HEADING_RE = re.compile(r"^(#{1,6})\s+(.*)$")
IMAGE_RE = re.compile(r"!\[\]\((.*?)\)")
STEP_RE = re.compile(r"^\s*(\d+)\.\s+(.*)$")
BULLET_RE = re.compile(r"^\s*-\s+(.*)$")
FIELD_TITLES = {"说明": "description", "操作步骤": "steps", "警告": "warning", "注意": "notice", "提示": "tip"}


def clean_text(text):
    return re.sub(r"\s+", " ", text).strip()


def is_blank(line):
    return not line.strip()


def extract_image_urls(text):
    return IMAGE_RE.findall(text)


def strip_images(text):
    return IMAGE_RE.sub("", text).strip()


def node(title, level):
    return {"title": clean_text(title), "level": level, "content_lines": [], "children": []}


def parse_markdown_heading_tree(text, doc_name="", document_title=""):
    root = {"title": document_title or doc_name or "document", "level": 0, "content_lines": [], "children": []}
    stack = [root]
    for raw in text.split("\n"):
        line = raw.rstrip()
        if is_blank(line):
            continue
        m = HEADING_RE.match(line)
        if m:
            n = node(m.group(2).strip(), len(m.group(1)))
            while stack and stack[-1]["level"] >= n["level"]:
                stack.pop()
            stack[-1]["children"].append(n)
            stack.append(n)
        else:
            stack[-1]["content_lines"].append(line)
    return root


def make_scene(title):
    return {"type": "scene", "title": clean_text(title), "description": "", "images": [], "steps": [],
            "warning": [], "notice": [], "tip": []}


def make_step(index, text):
    return {"index": index, "text": clean_text(text), "sub_points": [], "images": []}


def split_step_text_and_subpoints(text):
    text = clean_text(text)
    if "：" in text:
        head, rest = text.split("：", 1)
        subs = [p.strip() for p in re.split(r"[；;]", rest) if p.strip()]
        if subs:
            return clean_text(head), subs
    return text, []


def parse_field_into_scene(scene, field, lines):
    current = None
    for raw in lines:
        line = raw.rstrip()
        if is_blank(line) or line.strip() == "---":
            continue
        urls = extract_image_urls(line)
        body = strip_images(line)
        for url in urls:
            if field == "steps" and current is not None:
                i = current["index"]
                current["images"].append({"url": url, "position": f"step_{i}", "caption": f"{scene['title']}-步骤{i}图片"})
            else:
                scene["images"].append({"url": url, "position": "scene", "caption": scene["title"] + "相关图片"})
        if not body:
            continue
        if field == "description":
            t = clean_text(body)
            scene["description"] = scene["description"] + "\n" + t if scene["description"] else t
        elif field == "steps":
            m = STEP_RE.match(body)
            if m:
                head, subs = split_step_text_and_subpoints(clean_text(m.group(2)))
                current = make_step(int(m.group(1)), head)
                current["sub_points"].extend(subs)
                scene["steps"].append(current)
            elif (b := BULLET_RE.match(body)):
                if current is not None:
                    current["sub_points"].append(clean_text(b.group(1)))
            elif current is not None:
                current["text"] = current["text"] + " " + clean_text(body)
        elif field in ("warning", "notice", "tip"):
            b = BULLET_RE.match(body)
            scene[field].append(clean_text(b.group(1)) if b else clean_text(body))


def heading_node_to_scene(n):
    if n["title"] in FIELD_TITLES:
        return None
    scene = make_scene(n["title"])
    parse_field_into_scene(scene, "description", n["content_lines"])
    for child in n["children"]:
        title = child["title"]
        if title in FIELD_TITLES:
            field = FIELD_TITLES[title]
            parse_field_into_scene(scene, field, child["content_lines"])
            for grand in child["children"]:
                parse_field_into_scene(scene, field, grand["content_lines"])
        else:
            if title:
                t = clean_text(title)
                scene["description"] = scene["description"] + "\n" + t if scene["description"] else t
            parse_field_into_scene(scene, "description", child["content_lines"])
    return scene


def collect_scenes_from_heading_tree(n):
    scenes = []
    for child in n["children"]:
        if child["title"] in FIELD_TITLES:
            continue
        has_field_child = any(g["title"] in FIELD_TITLES for g in child["children"])
        if has_field_child or child["content_lines"]:
            scenes.append(heading_node_to_scene(child))
        else:
            scenes.extend(collect_scenes_from_heading_tree(child))
    return scenes


def markdown_to_tree(text, doc_name="", document_title=""):
    root = parse_markdown_heading_tree(text, doc_name, document_title)
    return {"type": "document", "doc_name": doc_name, "title": document_title or doc_name or "document",
            "children": collect_scenes_from_heading_tree(root)}
