"""Connecting to the site's bus with the [bus] options: authentication, TLS,
reconnection, and the one line a user reads when it cannot be done."""
import ssl

from .options import BusOptions


class BusError(Exception):
    """The bus cannot be used as configured: one line naming what to fix."""


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
    if "uthoriz" in text or "uthentic" in text:
        return (f"bus {url}: the server refused our credentials ({text.strip()}): "
                f"check [bus] user/password, token or nkey_seed")
    return f"bus {url}: cannot connect ({text.strip()}): is nats-server running there?"


async def connect(options, name, **callbacks):
    """A connected nats client, or BusError with one line."""
    import nats          # the [site] extra: only sites and nodes need it
    try:
        return await nats.connect(**connect_kwargs(options, name, **callbacks))
    except Exception as exc:       # nats-py raises several unrelated types for these
        raise BusError(explain(options.url, exc)) from None
