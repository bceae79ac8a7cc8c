"""/docs: the packaged Swagger UI copy (no third-party script) or a plain page
pointing at /openapi.json, and the OpenAPI document with the bearer scheme."""
from pathlib import Path

from fastapi import FastAPI
from fastapi.responses import Response
from fastapi.staticfiles import StaticFiles

from corvane.service.middleware import PAGE_HEADERS


def _docs_assets():
    """The folder of the packaged Swagger UI (swagger-ui-bundle), or None."""
    try:
        from swagger_ui_bundle import swagger_ui_path
    except ImportError:
        return None
    path = Path(str(swagger_ui_path))
    return path if (path / "swagger-ui-bundle.js").is_file() else None


def _docs_mode(docs: str) -> str:
    if docs == "auto":
        return "swagger" if _docs_assets() is not None else "none"
    if docs == "swagger" and _docs_assets() is None:
        raise ValueError("docs='swagger' needs the swagger-ui-bundle package (pip install 'corvane[serve]')")
    return docs


DOCS_PAGE = """<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>corvane API</title>
<link rel="stylesheet" href="/docs/assets/swagger-ui.css"></head>
<body><div id="swagger-ui"></div>
<script src="/docs/assets/swagger-ui-bundle.js"></script>
<script src="/static/docs.js"></script></body></html>
"""
NO_DOCS_PAGE = """<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>corvane API</title></head>
<body><p>The interactive documentation is not installed here (it comes with the swagger-ui-bundle
package). The API description is at <a href="/openapi.json">/openapi.json</a>.</p></body></html>
"""
SWAGGER_HEADERS = {
    # Swagger UI sets styles from its script; nothing else is let in.
    "Content-Security-Policy": "default-src 'self'; script-src 'self'; style-src 'self' 'unsafe-inline'; "
    "img-src 'self' data:; connect-src 'self'; object-src 'none'; base-uri 'none'; frame-ancestors 'none'",
    "X-Content-Type-Options": "nosniff",
    "Cache-Control": "no-cache",
}


def _add_docs(app: FastAPI, mode: str, token_required: bool) -> None:
    """/docs from the package's pinned Swagger UI copy (no third-party script),
    or a plain page pointing at /openapi.json; the document declares the
    bearer scheme, so the page's Authorize button sends the token."""
    from fastapi.openapi.utils import get_openapi

    def openapi() -> dict:
        if app.openapi_schema is None:
            schema = get_openapi(title=app.title, version=app.version, description=app.description,
                                 routes=app.routes)
            schema.setdefault("components", {}).setdefault("securitySchemes", {})["bearer"] = {
                "type": "http", "scheme": "bearer",
                "description": "CORVANE_API_TOKEN of the server" + ("" if token_required else " (not set here)"),
            }
            public = {"/healthz"}
            for path, ops in schema.get("paths", {}).items():
                if path in public:
                    continue
                for op in ops.values():
                    if isinstance(op, dict):
                        op["security"] = [{"bearer": []}]
            app.openapi_schema = schema
        return app.openapi_schema

    app.openapi = openapi
    headers = SWAGGER_HEADERS if mode == "swagger" else PAGE_HEADERS

    @app.get("/docs", include_in_schema=False)
    async def docs_page():
        return Response(DOCS_PAGE if mode == "swagger" else NO_DOCS_PAGE, media_type="text/html; charset=utf-8",
                        headers=headers)

    if mode == "swagger":
        app.mount("/docs/assets", StaticFiles(directory=str(_docs_assets())), name="docs-assets")
