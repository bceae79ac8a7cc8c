"""One deadline (an event-loop time) for a whole exchange."""
from __future__ import annotations

import asyncio
import contextlib

if hasattr(asyncio, "timeout_at"):
    deadline_at = asyncio.timeout_at
else:  # Python 3.10

    @contextlib.asynccontextmanager
    async def deadline_at(when: float):
        task = asyncio.current_task()
        fired = False

        def fire():
            nonlocal fired
            fired = True
            task.cancel()

        handle = asyncio.get_running_loop().call_at(when, fire)
        try:
            yield
        except asyncio.CancelledError:
            if fired:
                raise TimeoutError from None
            raise
        finally:
            handle.cancel()
