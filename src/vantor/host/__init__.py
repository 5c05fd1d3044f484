"""Reference host: settings, shared memory, broker, workers, hub and monitor
wired together on one asyncio event loop.  The native modules are imported
only by the parts that drive them, so settings and records load without them."""
