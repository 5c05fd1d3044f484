"""Choosing channel units on the command line: ranks, rank ranges or MCU.CU pairs."""


class OpsError(Exception):
    """An operator request that cannot be carried out; the message says why."""


def _rank_span(settings):
    units = settings.units()
    n = len(units)
    names = f"units {units[0].label} to {units[-1].label}" if n > 1 else f"unit {units[0].label}"
    return (f"the settings have ranks 1 to {n} ({names})" if n > 1
            else f"the settings have rank 1 only ({names})")


def parse_channels(text, settings):
    """'1,2,5', '3-6', '0.3' (MCU.CU) or 'all' -> sorted list of distinct ranks.
    Anything that names no configured unit is an OpsError naming it; so is an
    empty text, since an empty shell variable must not mean every unit."""
    units = settings.units()
    if text is None or text.strip() == "all":
        return [cu.rank for cu in units]
    if not text.strip():
        raise OpsError("channels: the list is empty; name ranks (1,2,5), ranges (3-6), "
                       "MCU.CU pairs (0.3) or 'all'")
    by_pair = {(cu.mcuId, cu.cuId): cu.rank for cu in units}
    ranks, unknown = set(), []
    for item in (part.strip() for part in text.split(",")):
        if not item:
            raise OpsError(f"channels: empty item in {text!r}")
        try:
            if "." in item:
                mcu, cu = (int(x) for x in item.split("."))
                rank = by_pair.get((mcu, cu))
                if rank is None:
                    unknown.append(item)
                else:
                    ranks.add(rank)
                continue
            first, sep, last = item.partition("-")
            lo = int(first)
            hi = int(last) if sep else lo
        except ValueError:
            raise OpsError(f"channels: expected ranks (1,2,5), ranges (3-6) or MCU.CU "
                           f"pairs (0.3), got {item!r}") from None
        if hi < lo:
            raise OpsError(f"channels: range {item!r} runs backwards")
        for rank in range(lo, hi + 1):
            if 1 <= rank <= len(units):
                ranks.add(rank)
            else:
                unknown.append(str(rank))
                if len(unknown) > 10:
                    break
    if unknown:
        shown = ", ".join(unknown[:10]) + (", ..." if len(unknown) > 10 else "")
        raise OpsError(f"unknown channel{'s' if len(unknown) > 1 else ''} {shown}: "
                       f"{_rank_span(settings)}")
    return sorted(ranks)


def check_ranks(settings, ranks):
    """Ranks given as integers (the library entry points): every one must exist."""
    n = len(settings.units())
    bad = [r for r in ranks if isinstance(r, bool) or not isinstance(r, int) or not 1 <= r <= n]
    if bad:
        raise OpsError(f"unknown channel rank{'s' if len(bad) > 1 else ''} "
                       f"{', '.join(map(repr, bad))}: {_rank_span(settings)}")
    if not ranks:
        raise OpsError("no channel chosen")
    return sorted(set(ranks))
