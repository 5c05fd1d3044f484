"""The Python client as users run it: in a notebook executed by a real
Jupyter kernel (whose thread runs an event loop), from several threads at
once, and with bad arguments refused before anything is sent."""
import json
import math
import threading

import pytest

from vantor.client import ArgumentError, AsyncClient, Client, ServiceError
from vantor.wire import f32

from tests.service_process import Service, vantor_env, wait_for

NOBODY = "http://127.0.0.1:9"      # nothing listens there: a request that went out fails otherwise


@pytest.fixture(scope="module")
def service(tmp_path_factory):
    with Service(tmp_path_factory.mktemp("svc"), "--mcus", "2", "--units", "3") as svc:
        wait_for(lambda: all(u["windows"] for u in Client(svc.url).units()), 20,
                 "every unit's first window")
        yield svc


NOTEBOOK_CELLS = [
    """\
from vantor.client import Client, AsyncClient, ArgumentError
import asyncio, json
c = Client(URL)
results = {"running_loop": asyncio.get_running_loop() is not None}""",
    """\
results["units"] = len(c.units())
kinds = []
for message in c.live(rate=10):
    kinds.append(message["type"])
    if kinds.count("summary") >= 5:
        break
results["live"] = kinds""",
    """\
c.configure([1], biasI=1.25e-5)
results["config_biasI"] = c.unit(1)["config"]["biasI"]
try:
    c.configure([1], biasI=float("nan"))
except ArgumentError as exc:
    results["nan"] = str(exc)""",
    """\
async with AsyncClient(URL) as a:
    results["async_unit"] = (await a.unit("0.1"))["rank"]
    async_kinds = []
    async for message in a.live(rate=10, mode="records", units=[1]):
        async_kinds.append(message["type"])
        if len(async_kinds) >= 12:
            break
    results["async_live"] = async_kinds
    results["async_limits"] = sorted(await a.limits())[:1]""",
    "print(json.dumps(results))",
]


def test_notebook_in_a_real_kernel(service, tmp_path, monkeypatch):
    nbformat = pytest.importorskip("nbformat")
    nbclient = pytest.importorskip("nbclient")
    for key, value in vantor_env().items():
        monkeypatch.setenv(key, value)
    nb = nbformat.v4.new_notebook()
    nb.cells = [nbformat.v4.new_code_cell(f"URL = {service.url!r}")] + \
        [nbformat.v4.new_code_cell(src) for src in NOTEBOOK_CELLS]
    nbclient.NotebookClient(nb, kernel_name="python3", timeout=60,
                            resources={"metadata": {"path": str(tmp_path)}}).execute()
    out = json.loads(nb.cells[-1].outputs[0]["text"])
    assert out["running_loop"] and out["units"] == 6
    assert out["live"][0] == "hello" and out["live"].count("summary") == 5
    assert out["config_biasI"] == f32(1.25e-5)
    assert "biasI" in out["nan"] and "NaN" in out["nan"]
    assert out["async_unit"] == 2 and out["async_limits"] == ["biasI"]
    assert out["async_live"][0] == "hello" and "records" in out["async_live"]


def test_threads_share_the_client(service):
    client = Client(service.url)
    results, errors = {}, []

    def reader(i):
        try:
            results[i] = [len(client.units()) for _ in range(5)]
        except Exception as exc:        # reported below with the thread's number
            errors.append((i, exc))

    def listener():
        kinds = results["live"] = []
        with client.live(rate=10) as stream:
            for message in stream:
                kinds.append(message["type"])
                if kinds.count("summary") == 5:
                    break

    threads = [threading.Thread(target=reader, args=(i,)) for i in range(4)]
    threads.append(threading.Thread(target=listener))
    for t in threads:
        t.start()
    client.configure(["0.2"], biasI=1.5e-5)      # meanwhile, from the main thread
    for t in threads:
        t.join(30)
    assert not errors
    assert all(results[i] == [6] * 5 for i in range(4))
    assert results["live"][0] == "hello" and results["live"].count("summary") == 5
    assert client.unit("0.2")["config"]["biasI"] == f32(1.5e-5)


@pytest.mark.parametrize("call, words", [
    (lambda c: c.configure([1], biasI=math.nan), ["biasI", "NaN"]),
    (lambda c: c.configure([1], biasI=math.inf), ["biasI", "Infinity"]),
    (lambda c: c.configure([1], biasI="1e-5"), ["biasI", '"1e-5"']),
    (lambda c: c.configure([1], biasI=True), ["biasI", "true"]),
    (lambda c: c.configure([1]), ["settings"]),
    (lambda c: c.configure([], biasI=1e-5), ["units"]),
    (lambda c: c.configure([0], biasI=1e-5), ["unit 0"]),
    (lambda c: c.configure([1.5], biasI=1e-5), ["unit 1.5"]),
    (lambda c: c.configure([1], timeout=-1, biasI=1e-5), ["timeout", "-1"]),
    (lambda c: c.submit_iv([1], step=math.nan), ["step", "NaN"]),
    (lambda c: c.submit_iv([1], point_steps=2.5), ["point_steps", "2.5"]),
    (lambda c: c.submit_acquire([1], seconds=-3), ["seconds", "-3"]),
    (lambda c: c.history([1], since=math.nan), ["since", "nan"]),
    (lambda c: c.settings_log(limit=0), ["limit", "0"]),
    (lambda c: c.live(rate=0), ["rate", "0"]),
    (lambda c: c.live(mode="raw"), ["mode", '"raw"']),
    (lambda c: c.download({"id": None}, "x.h5"), ["job"]),
    (lambda c: c.export("x.parquet", [1], format="parquet"), ["format", "parquet"]),
])
def test_bad_arguments_are_refused_before_sending(call, words):
    with pytest.raises(ArgumentError) as refused:
        call(Client(NOBODY))
    assert isinstance(refused.value, ValueError) and isinstance(refused.value, ServiceError)
    assert all(w in str(refused.value) for w in words), str(refused.value)


def test_the_async_client_refuses_the_same_way():
    import asyncio

    async def main():
        async with AsyncClient(NOBODY) as a:
            with pytest.raises(ArgumentError, match="biasI"):
                await a.configure([1], biasI=math.nan)
            with pytest.raises(ServiceError, match="no vantor service answers"):
                await a.units()

    asyncio.run(main())
