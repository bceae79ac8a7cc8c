"""Request parsing and response models of the HTTP service, and its JSON response helpers."""
# No "from __future__ import annotations": FastAPI reads these models' annotations at run time.
from typing import Any, Literal, Optional

from fastapi import Request
from fastapi.exceptions import RequestValidationError
from fastapi.responses import JSONResponse, Response
from pydantic import BaseModel, Field, ValidationError

from corvane.service.errors import error_body

try:
    import orjson as _orjson
except ImportError:  # the serve extra brings it; json does the same job, slower
    _orjson = None


def _json(payload: Any, status_code: int = 200) -> Response:
    """A JSON response encoded with orjson when it can (several times faster
    than json for the Chinese texts); json for what orjson refuses (integers
    beyond 64 bits, such as a very long step number)."""
    if _orjson is not None:
        try:
            return Response(_orjson.dumps(payload), status_code=status_code, media_type="application/json")
        except TypeError:
            pass
    return JSONResponse(payload, status_code=status_code)


def _fail(status: int, code: str, message: str, field: Optional[str] = None) -> JSONResponse:
    return JSONResponse(error_body(code, message, field), status_code=status)




Ranker = Literal["exact", "hybrid"]

VEHICLE_DOC = "only scenes of this vehicle (a name from GET /v1/vehicles)"
MANUAL_DOC = "only scenes of this manual (its id)"
RANKER_DOC = "exact: the specified ranking; hybrid: title and alias matches, then BM25 (default: the server's --ranker)"


class Image(BaseModel):
    url: str = Field(description="/images/<path> under the data folder's images/")
    caption: str


class SearchHit(BaseModel):
    scene_id: str
    manual_id: str
    manual_title: str = Field(description="the catalog's title, else the manual's first heading")
    vehicle: Optional[str] = Field(None, description="the catalog's vehicle of the manual")
    title: str
    path: list[str] = Field([], description="the scene's ancestor headings ([] when not recorded)")
    score: float
    intent: str
    context: str = Field(description="the scene's context text for this question (as given to the model)")
    images: list[Image] = []
    scene: Optional[dict] = Field(None, description="the whole scene (with include_scene)")


class SearchResponse(BaseModel):
    query: str
    intent: str
    ranker: str
    results: list[SearchHit]


class PromptResponse(BaseModel):
    prompt: str
    ranker: str


class Source(BaseModel):
    n: int = Field(description="the scene's number in the prompt")
    cited: bool = Field(description="the answer cites this scene (cited ones come first)")
    scene_id: str
    manual_id: str
    manual_title: str
    vehicle: Optional[str]
    title: str
    path: list[str] = Field(description="the scene's ancestor headings ([] when the index does not record them)")
    heading_path: list[str] = Field(description="manual title, ancestor headings, scene title")
    images: list[Image]
    score: float


class AnswerResponse(BaseModel):
    answer_id: str = Field(description="for POST /v1/feedback")
    answer: str = Field(description="the model's answer, or the fallback text of a refused question")
    refused: bool = Field(description="no scene matched: the fallback text, no model call")
    cited: bool = Field(description="the answer cites scenes by number")
    sources: list[Source]
    topic: Optional[str] = Field(description="the best scene's title: send it back in the next turn's history")
    ranker: str


class HealthResponse(BaseModel):
    status: str
    entries: int
    built_at: str
    ranker: str
    compiled_file: bool
    index_generation: int
    model_configured: bool
    release: Optional[str] = Field(None, description="the release id of the served index (corvane publish)")


class ErrorDetail(BaseModel):
    code: str
    message: str
    field: Optional[str] = None


class ErrorResponse(BaseModel):
    error: ErrorDetail


def _errors(*codes: int) -> dict:
    return {code: {"model": ErrorResponse} for code in codes}


def _body_doc(model) -> dict:
    """OpenAPI text of a JSON request body read by ``_parse``."""
    schema = model.model_json_schema()
    return {"requestBody": {"required": True, "content": {"application/json": {"schema": schema}}}}


async def _parse(model, request: Request):
    """The request body validated by ``model`` (pydantic's JSON parser, straight from the bytes).

    The hot endpoints read their body this way rather than through FastAPI's
    parameter resolution, which costs several times the search itself; errors
    take the same path as FastAPI's own (RequestValidationError -> 422)."""
    try:
        return model.model_validate_json(await request.body())
    except ValidationError as exc:
        raise RequestValidationError(exc.errors(include_input=False, include_url=False)) from None

