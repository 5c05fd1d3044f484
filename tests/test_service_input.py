"""Bad input of every kind answers a 4xx naming what is wrong, never a 500,
and the Python client refuses the same mistakes with the same message
before sending anything."""
import json
import urllib.parse

import pytest

from tests.service_process import Service, settings_text
from tests.test_service import raw
from vantor.client import Client, ServiceError


@pytest.fixture(scope="module")
def service(tmp_path_factory):
    root = tmp_path_factory.mktemp("input")
    config = root / "site.toml"
    config.write_text(settings_text([2, 2], "buffSize = 10"))
    with Service(root / "data", "--config", str(config)) as svc:
        yield svc


def post(service, path, body):
    data = body if isinstance(body, bytes) else json.dumps(body).encode()
    return raw(service.url + path, "POST", data, {"Content-Type": "application/json"})


BIG = 10 ** 400


@pytest.mark.parametrize("path, body, words", [
    ("/api/settings", {"units": ["²"], "settings": {"biasI": 1e-5}}, "ASCII digits"),
    ("/api/settings", {"units": ["١"], "settings": {"biasI": 1e-5}}, "ASCII digits"),
    ("/api/settings", {"units": ["1.٣"], "settings": {"biasI": 1e-5}}, "ASCII digits"),
    ("/api/settings", {"units": [BIG], "settings": {"biasI": 1e-5}}, "no such rank"),
    ("/api/settings", {"units": [1], "settings": {"biasI": BIG}}, "biasI"),
    ("/api/settings", {"units": [1], "settings": {"pgaGain": BIG}}, "pgaGain"),
    ("/api/settings", {"units": [1], "settings": {"biasSweepT": 2 ** 32}}, "biasSweepT"),
    ("/api/settings", {"units": [1], "settings": {"biasI": 1e-5}, "timeout": BIG}, "timeout"),
    ("/api/jobs/iv", {"units": ["²"]}, "ASCII digits"),
    ("/api/jobs/iv", {"units": [1], "start": BIG}, "start"),
    ("/api/jobs/iv", {"units": [1], "point_steps": BIG}, "point_steps"),
    ("/api/jobs/acquire", {"units": ["²"], "seconds": 1}, "ASCII digits"),
    ("/api/jobs/acquire", {"units": [1], "seconds": BIG}, "seconds"),
    ("/api/alarms/1/ack", {"comment": 5}, "comment"),
])
def test_bad_bodies_are_named(service, path, body, words):
    status, answer = post(service, path, body)
    assert status == 400 and words in answer["error"], answer
    assert len(answer["error"]) < 400, "a huge value is not echoed whole"


@pytest.mark.parametrize("payload, words", [
    (b"[" * 30000 + b"]" * 30000, "nested"),
    (b'{"units": [1], "settings": {"biasI": ' + b"[" * 20 + b"]" * 20 + b"}}", "nested"),
    (b'{"units": [1], "settings": {"biasI": "[[[[[[[[[[[[[[[[[[["}}', "biasI"),
    (b'{"units": [1], "settings": {"biasI": NaN}}', "biasI: expected a finite number, got NaN"),
    (b'\xff\xfe', "JSON"),
])
def test_malformed_bodies_are_named(service, payload, words):
    status, answer = post(service, "/api/settings", payload)
    assert status == 400 and words in answer["error"], answer


@pytest.mark.parametrize("path", [
    "/api/units/%C2%B2", "/api/units/%D9%A1", "/api/history?units=%C2%B2",
    "/api/live?units=%C2%B2", "/api/history?units=1&resolution=1e-300",
    "/api/history?units=1&resolution=nan", "/api/history?units=1&since=inf",
    "/api/history?units=1&resolution=-5", "/api/log/settings?limit=%D9%A1",
    "/api/history/boards?boards=%D9%A1", "/api/live?rate=1e-300", "/api/live?rate=nan",
    "/api/jobs/1/file?format=zip",
])
def test_bad_queries_are_named(service, path):
    status, answer = raw(service.url + path)
    assert 400 <= status < 500 and answer["error"], answer


def test_a_unit_name_in_other_digits_is_not_a_rank(service):
    status, answer = raw(service.url + "/api/units/" + urllib.parse.quote("١"))
    assert status == 400 and "ASCII" in answer["error"]
    assert raw(service.url + "/api/units/1")[0] == 200


@pytest.mark.parametrize("call, body_path, body", [
    (lambda c: c.configure([1], biasI=float("nan")), "/api/settings",
     {"units": [1], "settings": {"biasI": float("nan")}}),
    (lambda c: c.configure(["²"], biasI=1e-5), "/api/settings",
     {"units": ["²"], "settings": {"biasI": 1e-5}}),
    (lambda c: c.configure([1], pgaGain=300), "/api/settings",
     {"units": [1], "settings": {"pgaGain": 300}}),
    (lambda c: c.configure([1], mcuId=3), "/api/settings",
     {"units": [1], "settings": {"mcuId": 3}}),
    (lambda c: c.submit_iv([1], point_steps=1.5), "/api/jobs/iv",
     {"units": [1], "point_steps": 1.5}),
    (lambda c: c.submit_acquire([], 1), "/api/jobs/acquire", {"units": [], "seconds": 1}),
    (lambda c: c.submit_acquire([1], float("inf")), "/api/jobs/acquire",
     {"units": [1], "seconds": float("inf")}),
])
def test_the_client_refuses_what_the_service_refuses_with_the_same_words(
        service, call, body_path, body):
    # The raw request carries NaN/Infinity as JSON texts, as another client might.
    status, answer = post(service, body_path, json.dumps(body).encode())
    assert status == 400
    nowhere = Client("http://127.0.0.1:9")     # nothing listens: the check runs first
    with pytest.raises(ServiceError) as err:
        call(nowhere)
    assert (err.value.status, str(err.value)) == (400, answer["error"])


def test_the_client_checks_live_and_history_arguments_before_connecting():
    nowhere = Client("http://127.0.0.1:9")
    for call, words in ((lambda: nowhere.live(rate=0), "rate"),
                        (lambda: nowhere.live(units=["١"]), "ASCII"),
                        (lambda: nowhere.history([1], resolution=1e-300), "resolution"),
                        (lambda: nowhere.history([1], since=float("nan")), "since")):
        with pytest.raises(ServiceError, match=words):
            call()
