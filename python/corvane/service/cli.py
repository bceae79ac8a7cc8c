"""``corvane serve``: runs the HTTP service on uvicorn."""
from __future__ import annotations

import argparse
import json
import logging
import logging.config
import os
import shutil
import signal
import tempfile

from corvane import settings

OPTIONS_ENV = "CORVANE_SERVE_OPTIONS"

SERVE_HELP = """\
Serves the scene index of DATA_DIR over HTTP, with a web page at /.

  POST /v1/search   {question, top_k?, ranker?, include_scene?}  the ranked scenes
  POST /v1/prompt   {question, prompt_template?, ranker?}         the answer prompt
  POST /v1/answer   {question, stream?, ranker?}                  the model's answer and its sources
  GET  /healthz     index loaded, entry count, build time
  GET  /metrics     Prometheus metrics
  GET  /docs        OpenAPI docs (/openapi.json)

A rebuilt index (corvane index) is picked up while serving.  Environment:
CORVANE_API_TOKEN  when set, every endpoint but /healthz and the page needs
                   "Authorization: Bearer <token>"
CORVANE_LLM_URL    OpenAI-compatible chat-completions endpoint for /v1/answer
CORVANE_LLM_KEY    its access key; HARLUNE_MODEL names the model
CORVANE_MAX_PROMPT_BYTES  largest prompt /v1/prompt fills from a template (default 4 MiB)
The morlek alias map is read from data/manual_alias.json of the working directory.
A token or key with white space or a line break at an end is refused at start.
"""


class EscapeControls(logging.Filter):
    """Writes control and line-separator characters of the final message as
    \\uXXXX: one event is one line, and nothing in it drives a terminal."""

    def filter(self, record: logging.LogRecord) -> bool:
        from corvane.service.textsafe import escape_log

        message = record.getMessage()
        escaped = escape_log(message)
        if escaped != message or record.args:
            record.msg, record.args = escaped, ()
        return True


class NoTraceback(logging.Filter):
    """Drops exception and stack details from log records: one line per event, nothing of the internals."""

    def filter(self, record: logging.LogRecord) -> bool:
        if record.exc_info or record.exc_text or record.stack_info:
            exc = record.exc_info[1] if record.exc_info else None
            if exc is not None:
                record.msg = f"{record.getMessage()} ({type(exc).__name__})"
                record.args = ()
            record.exc_info = None
            record.exc_text = None
            record.stack_info = None
        return True


def log_config(level: str = "INFO") -> dict:
    handler = {"class": "logging.StreamHandler", "stream": "ext://sys.stderr",
               "filters": ["no_traceback", "escape_controls"]}
    return {
        "version": 1,
        "disable_existing_loggers": False,
        "filters": {"no_traceback": {"()": NoTraceback}, "escape_controls": {"()": EscapeControls}},
        "formatters": {
            "plain": {"format": "%(asctime)s %(levelname)s %(name)s: %(message)s"},
            "access": {"format": "%(message)s"},
        },
        "handlers": {
            "plain": {**handler, "formatter": "plain"},
            "access": {**handler, "formatter": "access"},
        },
        "loggers": {
            "uvicorn": {"handlers": ["plain"], "level": level, "propagate": False},
            "uvicorn.access": {"handlers": [], "level": "CRITICAL", "propagate": False},
            "corvane.service": {"handlers": ["plain"], "level": level, "propagate": False},
            "corvane.access": {"handlers": ["access"], "level": level, "propagate": False},
            "asyncio": {"handlers": ["plain"], "level": "WARNING", "propagate": False},
        },
    }


def _positive(kind, what: str):
    def parse(text: str):
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{what} must be a number, not {text!r}") from None
        if value <= 0:
            raise argparse.ArgumentTypeError(f"{what} must be greater than 0, not {text!r}")
        return value

    return parse


def _port(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"port must be a number, not {text!r}") from None
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"port must be between 0 and 65535, not {text!r}")
    return value


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a number of seconds, not {text!r}") from None
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more seconds, not {text!r}")
    return value


def add_parser(subparsers) -> None:
    p = subparsers.add_parser(
        "serve",
        help="HTTP service and web page over the scene index",
        description=SERVE_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("--data-dir", default="data", metavar="DIR", help="folder of scene_index.jsonl (default: data)")
    p.add_argument("--host", default="127.0.0.1", help="address to bind (default: 127.0.0.1, this machine only)")
    p.add_argument("--port", type=_port, default=8000, help="port (default: 8000)")
    p.add_argument("--workers", type=_positive(int, "workers"), default=1, metavar="N",
                   help="worker processes (default: 1)")
    p.add_argument("--ranker", choices=("exact", "hybrid"), default="exact", help="default ranker (default: exact)")
    p.add_argument("--log-questions", action="store_true",
                   help="put the question text into the access log, and keep refused and low-rated "
                        "questions in the feedback store (for corvane report)")
    p.add_argument("--model-timeout", type=_positive(float, "model timeout"), default=60.0, metavar="SECONDS",
                   help="limit of one model call (default: 60)")
    p.add_argument("--max-question-chars", type=_positive(int, "max question chars"), default=2000, metavar="N",
                   help="longest question accepted (default: 2000)")
    p.add_argument("--max-body-bytes", type=_positive(int, "max body bytes"), default=65536, metavar="N",
                   help="largest request body accepted (default: 65536)")
    p.add_argument("--reload-interval", type=_seconds, default=1.0, metavar="SECONDS",
                   help="how often to look for a rebuilt index; 0: never (default: 1)")
    p.add_argument("--shutdown-timeout", type=_seconds, default=30.0, metavar="SECONDS",
                   help="on SIGTERM, how long in-flight requests may take to finish (default: 30)")
    owners = p.add_argument_group("answers for owners")
    owners.add_argument("--database", metavar="URL", default=None,
                        help="feedback store: a file, sqlite:///FILE or postgresql://USER@HOST/DB "
                             "(default: $CORVANE_DATABASE, else ./corvane-feedback.db in the working folder)")
    owners.add_argument("--style", metavar="FILE", default=None,
                        help="answer style, a JSON file (brand, assistant, tone, safety, fallback, "
                             "knowledge_format, cite, always_warnings)")
    owners.add_argument("--fallback-text", metavar="TEXT", default=None,
                        help="the reply to a question the manuals do not cover (default: the style's)")
    p.add_argument("--keys-file", default=None, metavar="FILE",
                   help="API keys with their rate limits (corvane keys add), accepted beside CORVANE_API_TOKEN "
                        "(default: $CORVANE_KEYS_FILE, else none)")
    from corvane.service.config import LIMITS, parse_value

    limits = p.add_argument_group("limits (see docs/service.md)")
    for limit in LIMITS:
        parse = parse_value(limit.kind, limit.flag.lstrip("-").replace("-", " "))

        def checked(text, _parse=parse):
            try:
                return _parse(text)
            except ValueError as exc:
                raise argparse.ArgumentTypeError(str(exc)) from None

        default = limit.default
        shown = None if callable(default) else default  # a host-dependent default is told in the help
        if limit.kind == "list":
            limits.add_argument(limit.flag, dest=limit.name, action="append", type=checked, default=None,
                                metavar="VALUE", help=f"{limit.help}")
        else:
            limits.add_argument(limit.flag, dest=limit.name, type=checked, default=None,
                                metavar="SECONDS" if limit.kind == "seconds" else "N",
                                help=limit.help if shown is None else f"{limit.help} (default: {shown:g})")
    p.set_defaults(run=run)


def _limit(args: argparse.Namespace, name: str):
    from corvane.service.config import default_of

    value = getattr(args, name, None)
    return default_of(name) if value is None else value


def _options(args: argparse.Namespace) -> dict:
    return {
        "data_dir": args.data_dir,
        "ranker": args.ranker,
        "model_timeout": args.model_timeout,
        "max_question_chars": args.max_question_chars,
        "max_body_bytes": args.max_body_bytes,
        "log_questions": args.log_questions,
        "reload_interval": args.reload_interval,
        "shutdown_timeout": args.shutdown_timeout,
        "max_template_bytes": _limit(args, "max_template_bytes"),
        "max_model_calls": _limit(args, "max_model_calls"),
        "model_queue": _limit(args, "model_queue"),
        "model_queue_wait": _limit(args, "model_queue_wait"),
        "reload_compile_wait": _limit(args, "reload_compile_wait"),
        "allowed_hosts": _allowed_hosts(args),
        "cors_origins": list(args.cors_origins or ()),
        "database": args.database,
        "style": args.style,
        "fallback_text": args.fallback_text,
        "keys_file": getattr(args, "keys_file", None),
    }


def _allowed_hosts(args: argparse.Namespace):
    from corvane.service.config import default_allowed_hosts

    if args.allowed_hosts:
        return list(args.allowed_hosts)
    hosts = default_allowed_hosts(args.host)
    return ["*"] if hosts is None else list(hosts)


def server_limits(args: argparse.Namespace) -> dict:
    """The connection-level limits of the command line (see service/server.py)."""
    return {name: _limit(args, name) for name in
            ("max_header_bytes", "header_timeout", "keep_alive_timeout", "max_connections", "trusted_proxies")}


def app_from_environ():
    """The application of one worker process, from the options the parent put in the environment."""
    from corvane.service.app import create_app

    return create_app(**json.loads(settings.get("serve_options") or "{}"))


class _Terminated(Exception):
    """SIGTERM arrived; the server has already finished its requests and stopped."""


def _on_sigterm(signum, frame) -> None:
    raise _Terminated


def _cli_error(message: str):
    from corvane.cli_errors import CliError

    return CliError(message, 2)


def run(args: argparse.Namespace) -> int:
    try:
        import uvicorn

        from corvane.service.app import create_app
    except ImportError as exc:
        raise _cli_error(f"the serve command needs FastAPI, uvicorn and prometheus-client "
                         f"(pip install 'corvane[serve]'): {exc}") from None
    options = _options(args)
    logging.config.dictConfig(log_config())
    index = os.path.join(args.data_dir, "scene_index.jsonl")
    multiproc_dir = None
    if args.workers > 1 and not settings.get("prometheus_multiproc_dir"):
        multiproc_dir = tempfile.mkdtemp(prefix="corvane-metrics-")
        os.environ["PROMETHEUS_MULTIPROC_DIR"] = multiproc_dir
    try:
        try:
            # Opened here too with several workers, so a bad index or ranker fails at once.
            app = create_app(**options)
        except FileNotFoundError:
            raise _cli_error(f"no scene index at {index}; build it with 'corvane index'") from None
        except (ValueError, OSError) as exc:
            raise _cli_error(str(exc)) from None
        from corvane.service.server import uvicorn_config

        from corvane.service.config import _open_files

        if _limit(args, "max_connections") > _open_files() - 32:
            logging.getLogger("corvane.service").warning(
                "--max-connections %d is near or past the open-files limit %d: at it connections are dropped",
                _limit(args, "max_connections"), _open_files())
        if options["allowed_hosts"] == ["*"] and not args.allowed_hosts:
            logging.getLogger("corvane.service").warning(
                "bound to %s: any Host header is accepted; name the server's host names with --allowed-host",
                args.host or "all addresses")
        common = dict(host=args.host, port=args.port, limits=server_limits(args), log_config=log_config(),
                      access_log=False, timeout_graceful_shutdown=args.shutdown_timeout or None)
        # uvicorn stops gracefully on SIGTERM and then raises the signal again
        # for the handler it found installed: this one, so the command ends
        # normally (exit 0) and cleans up after itself.
        previous = signal.signal(signal.SIGTERM, _on_sigterm)
        try:
            if args.workers == 1:
                server = uvicorn.Server(uvicorn_config(app, **common))
                server.run()
                if not server.started:
                    raise SystemExit(3)
            else:
                app.state.holder.close()
                del app
                os.environ[OPTIONS_ENV] = json.dumps(options)
                _run_workers(uvicorn_config("corvane.service.cli:app_from_environ", factory=True,
                                            workers=args.workers, **common))
        except _Terminated:
            pass
        except KeyboardInterrupt:
            return 130
        except SystemExit as exc:
            if exc.code not in (0, None):
                raise _cli_error(f"the server on {args.host}:{args.port} could not start (see the log above)") from None
        finally:
            signal.signal(signal.SIGTERM, previous)
    finally:
        if multiproc_dir:
            shutil.rmtree(multiproc_dir, ignore_errors=True)
    return 0



def _run_workers(config) -> None:
    """uvicorn's worker supervisor over one bound socket, with this configuration."""
    import inspect

    import uvicorn
    from uvicorn.supervisors import Multiprocess

    sock = config.bind_socket()
    if "target" in inspect.signature(Multiprocess).parameters:
        Multiprocess(config, target=uvicorn.Server(config).run, sockets=[sock]).run()
    else:
        Multiprocess(config, sockets=[sock]).run()
