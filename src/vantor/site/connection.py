"""Connecting to the site's bus with the [bus] options: authentication, TLS,
reconnection, and the one line a user reads when it cannot be done."""
import asyncio
import logging
import ssl

from .options import BusOptions

log = logging.getLogger("vantor.site.bus")


class BusError(Exception):
    """The bus cannot be used as configured: one line naming what to fix."""


class BusRefused(BusError):
    """Our credentials (password, token, nkey, certificates) are refused or
    cannot be used: trying again cannot help."""


def tls_context(options):
    if not options.tls:
        return None
    context = ssl.create_default_context(cafile=options.tls_ca)
    if options.tls_cert:
        context.load_cert_chain(options.tls_cert, options.tls_key)
    return context


def connect_kwargs(options: BusOptions, name, **callbacks):
    """Keyword arguments of nats.connect for these options."""
    kwargs = dict(servers=[options.url], name=name, tls=tls_context(options),
                  allow_reconnect=True, max_reconnect_attempts=-1, reconnect_time_wait=0.5,
                  connect_timeout=2, **callbacks)
    if options.user:
        kwargs.update(user=options.user, password=options.password)
    elif options.token:
        kwargs.update(token=options.token)
    elif options.nkey_seed:
        kwargs.update(nkeys_seed=options.nkey_seed)
    return kwargs


def explain(url, exc):
    """The one line for a failed connection."""
    text = str(exc) or type(exc).__name__
    if refused(exc):
        return (f"bus {url}: the server refused our credentials ({text.strip()}): "
                f"check [bus] user/password, token or nkey_seed")
    return f"bus {url}: cannot connect ({text.strip()}): is nats-server running there?"


def refused(exc):
    text = str(exc)
    return "uthoriz" in text or "uthentic" in text


async def _quiet_error(exc):
    # nats-py reports every failed reconnection attempt here, with a traceback
    # by default: one debug line each is enough (callers watch disconnected_cb)
    log.debug("bus: %s", str(exc) or type(exc).__name__)


async def connect(options, name, **callbacks):
    """A connected nats client, or BusError with one line (BusRefused for
    credentials).  The first attempt decides: nats-py itself would retry the
    first connection for ever, as it retries a lost one (which it still does
    once connected)."""
    from nats.aio.client import Client      # the [site] extra: only sites and nodes need it
    later_errors = callbacks.pop("error_cb", None) or _quiet_error
    first_error = asyncio.get_running_loop().create_future()
    nc = Client()

    async def error_cb(exc):
        if not first_error.done() and not nc.is_connected:
            first_error.set_result(exc)
        else:
            await later_errors(exc)

    try:
        kwargs = connect_kwargs(options, name, error_cb=error_cb, **callbacks)
    except (OSError, ssl.SSLError) as exc:     # no retry mends a certificate that cannot be read
        raise BusRefused(f"bus {options.url}: TLS: {getattr(exc, 'reason', None) or exc}: "
                         "check [bus] tls_ca, tls_cert and tls_key") from None
    attempt = asyncio.ensure_future(nc.connect(**kwargs))
    try:
        await asyncio.wait({attempt, first_error}, return_when=asyncio.FIRST_COMPLETED)
    except asyncio.CancelledError:
        attempt.cancel()
        raise
    if attempt.done() and attempt.exception() is None:
        return nc
    exc = first_error.result() if first_error.done() else attempt.exception()
    attempt.cancel()
    try:
        await nc.close()
    except Exception:              # a half-made connection: nothing of it to keep
        pass
    raise (BusRefused if refused(exc) else BusError)(explain(options.url, exc))
