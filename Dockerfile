# corvane service image.
#
#   podman build -t corvane .            (or: docker build -t corvane .)
#   podman run --rm -p 8000:8000 -v "$PWD/data:/data:ro" corvane
#
# Stage 1 builds the wheel (C++ extension modules: compiler and CMake needed
# only here); stage 2 is the runtime: the wheel with its "serve" extra, a
# non-root user, the data folder as a read-only volume.

ARG PYTHON_IMAGE=docker.io/library/python:3.12-slim-bookworm

FROM ${PYTHON_IMAGE} AS build
RUN apt-get update \
 && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends g++ cmake make \
 && rm -rf /var/lib/apt/lists/*
WORKDIR /src
COPY pyproject.toml CMakeLists.txt README.md ./
COPY src ./src
COPY tools/gen_unicode_tables.py ./tools/
COPY python ./python
ENV CMAKE_BUILD_PARALLEL_LEVEL=2
RUN pip wheel --no-cache-dir --no-deps --wheel-dir /wheels .

FROM ${PYTHON_IMAGE} AS runtime
ENV PYTHONDONTWRITEBYTECODE=1 \
    PYTHONUNBUFFERED=1 \
    PIP_NO_CACHE_DIR=1 \
    PIP_DISABLE_PIP_VERSION_CHECK=1
COPY --from=build /wheels /wheels
RUN set -eu; wheel="$(ls /wheels/corvane-*.whl)"; pip install "${wheel}[serve]" && rm -rf /wheels \
 && useradd --system --uid 10001 --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin corvane
# The working folder's data/ is the volume: the alias map (data/manual_alias.json)
# is read from there, beside the releases.
WORKDIR /
VOLUME ["/data"]
USER 10001:10001
EXPOSE 8000
HEALTHCHECK --interval=10s --timeout=3s --start-period=30s --retries=3 \
  CMD ["python", "-c", "import sys, urllib.request; sys.exit(urllib.request.urlopen('http://127.0.0.1:8000/healthz', timeout=2).status != 200)"]
STOPSIGNAL SIGTERM
ENTRYPOINT ["corvane", "serve"]
CMD ["--host", "0.0.0.0", "--port", "8000", "--data-dir", "/data/releases/current"]
