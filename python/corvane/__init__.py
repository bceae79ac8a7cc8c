"""corvane: answers questions about a vehicle owner's manual from the manual's own text.

The six subsystems are compiled extension modules, imported on demand:

- ``corvane.plaxon``   manual parsing (Markdown -> heading tree -> scenes)
- ``corvane.morlek``   scene matching (normalization, keywords, intent, context, in-document search)
- ``corvane.ostrel``   index building (manual folder -> tree files + scene index)
- ``corvane.farrowin`` global retrieval over the scene index
- ``corvane.vendry``   answer prompt and the prompt self-check loop
- ``corvane.delmoor``  query answering (loads ``data/scene_index.jsonl`` when imported)

Importing ``corvane`` itself loads none of them: ``morlek`` reads the alias file and
``delmoor`` the scene index at import, relative to the working directory.
"""

__version__ = "0.1.0"
__all__ = ["__version__", "Engine", "EngineError"]


def __getattr__(name):
    # The engine loads its extension module only when first asked for.
    if name in ("Engine", "EngineError"):
        from corvane import engine

        return getattr(engine, name)
    raise AttributeError(f"module 'corvane' has no attribute {name!r}")
