"""The HTTP service: its API against a real Milvus Lite collection, the search
page in a real browser, and the command started and stopped as a process."""

import http.client
import json
import re
import shutil
import signal
import subprocess
import sys
import time
import urllib.parse
import urllib.request
from concurrent.futures import ThreadPoolExecutor

import pytest

for _module in ("pymilvus", "milvus_lite"):
    pytest.importorskip(_module, reason="the 'milvus' extra is not installed: pip install 'pymiratext[milvus]'")
for _module in ("starlette", "uvicorn"):
    pytest.importorskip(_module, reason="the 'serve' extra is not installed: pip install 'pymiratext[serve]'")
pytest.importorskip("httpx", reason="the test client needs httpx (the 'test' extra)")

from starlette.testclient import TestClient  # noqa: E402

import pymiratext  # noqa: E402
from pymiratext import TextEncoder, cli, id_vector, milvus  # noqa: E402
from pymiratext._data import sample_corpus_path  # noqa: E402
from pymiratext.serve import Limits, create_app, match_spans  # noqa: E402

# Documents beside the sample corpus: markup that must show as text, characters
# outside the BMP before a match (one Python index, two JavaScript units), and a
# text too long to be stored.
EXTRA = ["<b>手机</b>理财 <img src=x onerror=alert(1)>", "𠀀𠀁用手机理财", "手机理财" * 6000]
QUERIES = ["手机理财有什么风险", "红烧肉怎么做", "感冒发烧怎么办", "手机", "的"]
LIMITS = Limits(max_body=4096, max_batch=8, max_top=50)


@pytest.fixture(scope="module")
def corpus_file(tmp_path_factory):
    with open(sample_corpus_path(), encoding="utf-8") as stream:
        lines = stream.read().splitlines() + EXTRA
    path = tmp_path_factory.mktemp("serve") / "corpus.txt"
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return path


@pytest.fixture(scope="module")
def collection(corpus_file, bundled_jieba):
    """The corpus indexed as `index --search` does (line numbers as ids), reopened:
    its encoder is rebuilt from the model file, as the service's is."""
    texts = corpus_file.read_text(encoding="utf-8").splitlines()
    encoder = TextEncoder(bundled_jieba, search=True)
    encoder.train(texts)
    db = str(corpus_file.parent / "api.db")
    with milvus.TextCollection.create(db, encoder, name="c") as created:
        created.add_items([(n, t) for n, t in enumerate(texts, 1) if t.strip()], progress=False)
    with milvus.TextCollection.open(db, "c", jieba=bundled_jieba) as opened:
        yield opened


@pytest.fixture(scope="module")
def client(collection, bundled_jieba):
    app = create_app(collection.db, "c", jieba=bundled_jieba, threads=2, limits=LIMITS)
    with TestClient(app) as test_client:
        yield test_client


@pytest.mark.parametrize("query", QUERIES)
def test_search_answers_as_the_collection_does(client, collection, query):
    answer = client.get("/search", params={"q": query, "top": 50}).json()
    expected = collection.search(query, top=50)
    assert [(h["id"], h["score"], h["text"]) for h in answer["hits"]] == [tuple(hit) for hit in expected]
    assert answer["terms"] == list(dict.fromkeys(collection.encoder.tokens(query)))
    for hit in answer["hits"]:
        text, spans = hit["text"] or "", hit["spans"]
        assert all(a[1] <= b[0] for a, b in zip(spans, spans[1:]))  # in order, disjoint
        assert all(any(term in text[start:end] for term in answer["terms"]) for start, end in spans)
        assert bool(spans) == (hit["text"] is not None)  # a hit shares a term, unless its text is not stored


@pytest.mark.parametrize("keys", ["tokens", "ids"])
@pytest.mark.parametrize("kind", ["documents", "queries"])
def test_encode_answers_as_the_encoder_does(client, collection, kind, keys):
    texts = ["手机理财有什么风险", "", "的", "𠀀 iPhone 手机 手机"]
    answer = client.post(f"/encode/{kind}", json={"texts": texts, "keys": keys})
    vectors = getattr(collection.encoder, f"encode_{kind}")(texts)
    if keys == "ids":
        vectors = [{str(k): w for k, w in id_vector(v).items()} for v in vectors]
    assert answer.status_code == 200 and answer.json() == {"vectors": vectors}


def test_health(client):
    assert client.get("/healthz").json() == {"status": "ok", "collection": "c", "documents": 68}


@pytest.mark.parametrize(
    "text, terms, search, spans",
    [
        ("用手机理财", {"手机", "理财"}, False, [[1, 3], [3, 5]]),
        ("𠀀手机", {"手机"}, False, [[1, 3]]),  # a code point is one index
        ("国内生产总值", {"国内", "生产"}, True, [[0, 2], [2, 4]]),  # touching spans stay apart
        ("国内生产总值", {"国内生产总值", "生产"}, True, [[0, 6]]),  # a word inside a word joins it
        ("红烧肉", {"手机"}, False, []),
    ],
)
def test_match_spans(bundled_jieba, text, terms, search, spans):
    assert match_spans(TextEncoder(bundled_jieba, search=search), text, terms) == spans


BIG = "x" * 5000
ERRORS = [
    ("GET", "/nope", None, 404, "no such path: /nope"),
    ("POST", "/search", None, 405, "POST is not allowed on /search: use GET, HEAD"),
    ("GET", "/encode/queries", None, 405, "GET is not allowed on /encode/queries: use POST"),
    ("GET", "/search", None, 400, "the query is missing: /search?q=...&top=10"),
    ("GET", "/search?q=%20", None, 400, "the query is missing: /search?q=...&top=10"),
    ("GET", "/search?q=a&top=ten", None, 400, "top must be a whole number, not 'ten'"),
    ("GET", "/search?q=a&top=0", None, 400, "top must lie between 1 and 50, not 0"),
    ("GET", "/search?q=a&top=51", None, 400, "top must lie between 1 and 50, not 51"),
    ("POST", "/encode/queries", b'{"texts": [', 400,
     "the body is not valid JSON: Expecting value: line 1 column 12 (char 11)"),
    ("POST", "/encode/queries", b"[" * 3000, 400, None),  # nested past the parser's depth
    ("POST", "/encode/queries", b'{"texts": ["\xff"]}', 400, None),  # not UTF-8
    ("POST", "/encode/queries", b"[]", 400,
     'the body must be a JSON object {"texts": [...], "keys": "tokens" or "ids"}'),
    ("POST", "/encode/queries", b'{"text": ["a"]}', 400,
     'the body must be a JSON object {"texts": [...], "keys": "tokens" or "ids"}'),
    ("POST", "/encode/queries", b'{"texts": [], "key": "ids"}', 400, "unknown field 'key': a request has texts and keys"),
    ("POST", "/encode/queries", b'{"texts": "a"}', 400, "texts must be a list of strings"),
    ("POST", "/encode/documents", b'{"texts": ["a", null]}', 400, "texts[1] is not a string"),
    ("POST", "/encode/documents", b'{"texts": ["\\ud800"]}', 400, "texts[0] is not valid Unicode: it holds a lone surrogate"),
    ("POST", "/encode/queries", b'{"texts": [], "keys": "words"}', 400, 'keys must be "tokens" or "ids", not "words"'),
    ("POST", "/encode/queries", b'{"texts": [], "keys": ["ids"]}', 400, 'keys must be "tokens" or "ids", not ["ids"]'),
    ("POST", "/encode/queries", json.dumps({"texts": ["a"] * 9}).encode(), 413, "a request holds at most 8 texts, not 9"),
    ("POST", "/encode/queries", BIG.encode(), 413, "the request body is over the limit of 4096 bytes"),
    # Chunked, without a declared length: counted as it comes.
    ("POST", "/encode/queries", iter([BIG[:3000].encode(), BIG[3000:].encode()]), 413,
     "the request body is over the limit of 4096 bytes"),
]


@pytest.mark.parametrize("method, path, body, status, message", ERRORS)
def test_refused_requests_get_json_errors(client, method, path, body, status, message):
    answer = client.request(method, path, content=body)
    assert answer.status_code == status
    assert answer.headers["content-type"] == "application/json"
    error = answer.json()["error"]
    assert error == message if message else error.startswith("the body is not valid JSON: ")
    if status == 405:
        assert answer.headers["allow"] == message.split("use ")[1]
    assert client.get("/healthz").status_code == 200  # the service lives on


def test_page_loads_nothing_from_other_hosts(client):
    answer = client.get("/")
    assert answer.headers["content-type"] == "text/html; charset=utf-8"
    policy = answer.headers["content-security-policy"]
    assert "default-src 'none'" in policy and "connect-src 'self'" in policy
    assert all(link.startswith("data:") for link in re.findall(r'(?:src|href)="([^"]*)"', answer.text))


# --------------------------------------------------------------------------
# The command line


def test_importing_the_package_and_cli_loads_no_web_framework():
    code = "import sys, pymiratext, pymiratext.cli; print(sorted({'starlette', 'uvicorn'} & set(sys.modules)))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout == "[]\n"


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--db", "{tmp}/absent.db"], "cannot open the database {tmp}/absent.db: no such file"),
        (["--db", "{db}", "--collection", "nope"], "the database {db} has no collection 'nope'"),
        (["--db", "{db}", "--host", "127.0.0.1", "--port", "{busy}"], "cannot listen on 127.0.0.1 port {busy}: "),
    ],
    ids=["no-file", "no-collection", "port-taken"],
)
def test_cli_errors_are_one_line(capsys, collection, tmp_path, argv, message):
    import socket

    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        fill = {"tmp": tmp_path, "db": collection.db, "busy": taken.getsockname()[1]}
        status = cli.main(["serve"] + [a.format(**fill) for a in argv])
    out, err = capsys.readouterr()
    assert (status, out) == (1, "")
    assert err.startswith("pymiratext: error: " + message.format(**fill)) and err.count("\n") == 1


def test_cli_without_the_extra_says_how_to_install_it(capsys, monkeypatch, tmp_path):
    monkeypatch.setitem(sys.modules, "starlette", None)  # makes `import starlette` fail
    for name in [m for m in sys.modules if m.startswith("pymiratext.serve")]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.delattr(pymiratext, "serve", raising=False)
    assert cli.main(["serve", "--db", str(tmp_path / "x.db")]) == 1
    assert capsys.readouterr().err == (
        'pymiratext: error: the HTTP service is not installed: pip install "pymiratext[serve]"\n')


@pytest.fixture(scope="module")
def served(corpus_file):
    """`pymiratext serve` as a process, on a free loopback port, over its own
    database (a Milvus Lite file is open in one process at a time)."""
    db = str(corpus_file.parent / "served.db")
    command = [sys.executable, "-m", "pymiratext"]
    subprocess.run(command + ["index", "--db", db, "--search", str(corpus_file)], check=True, capture_output=True)
    log = corpus_file.parent / "serve.log"  # a file, so that a full pipe cannot stall the server
    with open(log, "w", encoding="utf-8") as stderr:
        process = subprocess.Popen(command + ["serve", "--db", db, "--port", "0", "--threads", "3"],
                                   stdout=subprocess.DEVNULL, stderr=stderr)
    try:
        deadline = time.monotonic() + 60
        while "\n" not in log.read_text(encoding="utf-8"):
            assert time.monotonic() < deadline and process.poll() is None, log.read_text(encoding="utf-8")
            time.sleep(0.05)
        line = log.read_text(encoding="utf-8").split("\n")[0]
        assert line.startswith(f"pymiratext: serving the collection pymiratext of {db} on http://127.0.0.1:"), line
        yield process, line.split(" on ")[1].split("/ ")[0], log
    finally:
        if process.poll() is None:
            process.kill()
        process.wait(timeout=30)


def _get(url, path):
    with urllib.request.urlopen(url + path, timeout=30) as answer:
        return json.loads(answer.read())


def _chromium():
    browser = shutil.which("chromium")
    if browser is None:
        pytest.skip("no headless browser: Debian's chromium is not installed (apt-get install chromium)")
    pytest.importorskip("websocket", reason="driving the browser needs websocket-client (the 'test' extra)")
    return browser


class _Page:
    """One browser tab driven over the DevTools protocol."""

    def __init__(self, browser, profile):
        import websocket

        self.process = subprocess.Popen(
            [browser, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-extensions",
             "--remote-debugging-port=0", f"--user-data-dir={profile}", "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        port_file = profile / "DevToolsActivePort"
        deadline = time.monotonic() + 30
        while not (port_file.exists() and port_file.read_text().count("\n") >= 1):
            assert time.monotonic() < deadline and self.process.poll() is None, "the browser did not start"
            time.sleep(0.05)
        port = port_file.read_text().split()[0]
        tabs = json.loads(urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=10).read())
        url = next(t["webSocketDebuggerUrl"] for t in tabs if t["type"] == "page")
        self.socket = websocket.create_connection(url, timeout=30, suppress_origin=True)
        self.calls = 0

    def call(self, method, **params):
        self.calls += 1
        self.socket.send(json.dumps({"id": self.calls, "method": method, "params": params}))
        while True:
            message = json.loads(self.socket.recv())
            if message.get("id") == self.calls:
                assert "error" not in message, message
                return message["result"]

    def evaluate(self, expression):
        return self.call("Runtime.evaluate", expression=expression, returnByValue=True)["result"].get("value")

    def wait_for(self, expression, seconds=20):
        deadline = time.monotonic() + seconds
        while not self.evaluate(expression):
            assert time.monotonic() < deadline, f"waited in vain for {expression}"
            time.sleep(0.05)

    def close(self):
        self.socket.close()
        self.process.terminate()
        self.process.wait(timeout=30)


READ_HITS = """Array.from(document.querySelectorAll('#hits li p')).map(p => ({
    text: p.textContent,
    marks: Array.from(p.querySelectorAll('mark')).map(m => m.textContent),
    elements: p.querySelectorAll('*').length - p.querySelectorAll('mark').length}))"""


def test_search_page_in_a_browser(served, tmp_path):
    browser = _chromium()
    _process, url, _log = served
    page = _Page(browser, tmp_path)
    try:
        page.call("Page.navigate", url=url + "/")
        page.wait_for("document.readyState === 'complete' && document.getElementById('about').textContent !== ''")
        page.evaluate("document.getElementById('q').focus()")
        page.call("Input.insertText", text="手机理财")
        for kind in ("keyDown", "keyUp"):
            page.call("Input.dispatchKeyEvent", type=kind, key="Enter", code="Enter", windowsVirtualKeyCode=13,
                      text="\r")
        page.wait_for("document.querySelectorAll('#hits li').length > 0")
        shown = page.evaluate(READ_HITS)
        location = page.evaluate("location.search")
    finally:
        page.close()
    hits = _get(url, "/search?" + urllib.parse.urlencode({"q": "手机理财", "top": 10}))["hits"]
    assert location == "?" + urllib.parse.urlencode({"q": "手机理财"})
    assert [h["text"] or "(text not stored)" for h in hits] == [s["text"] for s in shown]
    assert [[h["text"][a:b] for a, b in h["spans"]] for h in hits if h["text"]] == \
           [s["marks"] for s in shown if s["text"] != "(text not stored)"]
    assert any("<b>" in s["text"] for s in shown) and any("𠀀" in s["text"] and s["marks"] for s in shown)
    assert not any(s["elements"] for s in shown)  # markup in the texts stayed text


def test_command_serves_concurrently_and_stops_on_sigint(served, collection):
    process, url, log = served
    host, port = url[len("http://"):].split(":")

    def ask(query):
        connection = http.client.HTTPConnection(host, int(port), timeout=30)
        try:
            answers = []
            for path in (f"/search?{urllib.parse.urlencode({'q': query})}", "/healthz"):
                connection.request("GET", path)
                answer = connection.getresponse()
                answers.append((answer.status, json.loads(answer.read())))
            connection.request("POST", "/encode/queries", body=json.dumps({"texts": [query]}))
            answers.append(json.loads(connection.getresponse().read()))
            return answers
        finally:
            connection.close()

    with ThreadPoolExecutor(4) as pool:
        answers = list(pool.map(ask, QUERIES * 2))
    for query, ((status, found), health, vectors) in zip(QUERIES * 2, answers):
        assert status == 200 and health == (200, {"status": "ok", "collection": "pymiratext", "documents": 68})
        assert [(h["id"], h["text"]) for h in found["hits"]] == [(h.id, h.text) for h in collection.search(query)]
        assert vectors == {"vectors": collection.encoder.encode_queries([query])}
    process.send_signal(signal.SIGINT)
    assert process.wait(timeout=30) == 0
    err = log.read_text(encoding="utf-8")
    assert err.endswith("pymiratext: stopped\n") and "Traceback" not in err
