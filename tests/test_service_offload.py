"""The helper process that writes job results: its death is one error, not a
service whose downloads stay broken."""
import asyncio
import operator
import os

import pytest

from vantor.service.offload import Offload, OffloadError


def test_a_dead_helper_is_reported_and_replaced():
    async def main():
        offload = Offload()
        try:
            with pytest.raises(OffloadError, match="ended unexpectedly"):
                await offload.run(os._exit, 3)
            assert await offload.run(operator.add, 2, 3) == 5
        finally:
            offload.close()

    asyncio.run(main())
