"""The HTTP service: its API against a real Milvus Lite collection, the README's
examples, the search page in a real browser, and the command as a process."""

import http.client
import json
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.parse
import urllib.request
from concurrent.futures import ThreadPoolExecutor

import pytest

for _module, _extra in (("pymilvus", "milvus"), ("milvus_lite", "milvus"), ("starlette", "serve"),
                        ("uvicorn", "serve"), ("httpx", "test")):
    pytest.importorskip(_module, reason=f"the '{_extra}' extra is not installed: pip install 'pymiratext[{_extra}]'")

from starlette.testclient import TestClient  # noqa: E402

import pymiratext  # noqa: E402
from pymiratext import TextEncoder, cli, id_vector, milvus  # noqa: E402
from pymiratext._data import sample_corpus_path  # noqa: E402
from pymiratext.serve import Limits, create_app, match_spans  # noqa: E402

# Besides the sample corpus: markup that must show as text, characters outside
# the BMP before a match (one Python index, two JavaScript units), and a text
# too long to be stored.
EXTRA = ["<b>手机</b>理财 <img src=x onerror=alert(1)>", "𠀀𠀁用手机理财", "手机理财" * 6000]
QUERIES = ["手机理财有什么风险", "红烧肉怎么做", "感冒发烧怎么办", "手机", "的"]


@pytest.fixture(scope="module")
def corpus_file(tmp_path_factory):
    with open(sample_corpus_path(), encoding="utf-8") as stream:
        lines = stream.read().splitlines() + EXTRA
    path = tmp_path_factory.mktemp("serve") / "corpus.txt"
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return path


@pytest.fixture(scope="module")
def collection(corpus_file, bundled_jieba):
    """The corpus indexed as `index --search` does, reopened: its encoder is
    rebuilt from the model file, as the service's is. The database also holds
    the README's collection: the sample corpus indexed by `index`."""
    texts = corpus_file.read_text(encoding="utf-8").splitlines()
    encoder = TextEncoder(bundled_jieba, search=True)
    encoder.train(texts)
    db = str(corpus_file.parent / "api.db")
    with milvus.TextCollection.create(db, encoder, name="c", scoring="vectors") as created:
        created.add_items([(n, t) for n, t in enumerate(texts, 1) if t.strip()], progress=False)
    assert cli.main(["index", "--db", db, "--search", "--scoring", "vectors", sample_corpus_path()]) == 0
    with milvus.TextCollection.open(db, "c", jieba=bundled_jieba) as opened:
        yield opened


def _client(collection, jieba, name, **options):
    with TestClient(create_app(collection.db, name, jieba=jieba, **options)) as client:
        yield client


@pytest.fixture(scope="module")
def client(collection, bundled_jieba):
    yield from _client(collection, bundled_jieba, "c", threads=2, limits=Limits(max_body=4096, max_batch=8, max_top=50))


@pytest.mark.parametrize("query", QUERIES)
def test_search_answers_as_the_collection_does(client, collection, query):
    answer = client.get("/search", params={"q": query, "top": 50}).json()
    assert [(h["id"], h["score"], h["text"]) for h in answer["hits"]] == [hit[:3] for hit in collection.search(query, 50)]
    assert answer["terms"] == list(dict.fromkeys(collection.encoder.tokens(query)))
    for hit in answer["hits"]:
        text, spans = hit["text"] or "", hit["spans"]
        assert all(a[1] <= b[0] for a, b in zip(spans, spans[1:]))  # in order, disjoint
        assert all(any(term in text[start:end] for term in answer["terms"]) for start, end in spans)
        assert bool(spans) == (hit["text"] is not None)  # every hit shares a term, if its text is stored


@pytest.mark.parametrize("keys", ["tokens", "ids"])
@pytest.mark.parametrize("kind", ["documents", "queries"])
def test_encode_answers_as_the_encoder_does(client, collection, kind, keys):
    texts = ["手机理财有什么风险", "", "的", "𠀀 iPhone 手机 手机"]
    answer = client.post(f"/encode/{kind}", json={"texts": texts, "keys": keys})
    vectors = getattr(collection.encoder, f"encode_{kind}")(texts)
    if keys == "ids":
        vectors = [{str(k): w for k, w in id_vector(v).items()} for v in vectors]
    assert (answer.status_code, answer.json()) == (200, {"vectors": vectors})


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


BIG, OVER = b"x" * 5000, "the request body is over the limit of 4096 bytes"
NOT_OBJECT = 'the body must be a JSON object {"texts": [...], "keys": "tokens" or "ids"}'
ERRORS = [
    ("GET", "/nope", None, 404, "no such path: /nope"),
    ("POST", "/search", None, 405, "POST is not allowed on /search: use GET, HEAD"),
    ("GET", "/encode/queries", None, 405, "GET is not allowed on /encode/queries: use POST"),
    ("GET", "/search?q=%20", None, 400, "the query is missing: /search?q=...&top=10"),
    ("GET", "/search?q=a&top=ten", None, 400, "top must be a whole number, not 'ten'"),
    ("GET", "/search?q=a&top=51", None, 400, "top must lie between 1 and 50, not 51"),
    ("POST", "/encode/queries", b'{"texts": [', 400,
     "the body is not valid JSON: Expecting value: line 1 column 12 (char 11)"),
    ("POST", "/encode/queries", b"[" * 3000, 400, None),  # nested past the parser's depth
    ("POST", "/encode/queries", b'{"texts": ["\xff"]}', 400, None),  # not UTF-8
    ("POST", "/encode/queries", b'{"text": ["a"]}', 400, NOT_OBJECT),
    ("POST", "/encode/queries", b'{"texts": [], "key": "ids"}', 400,
     "unknown field 'key': a request has texts and keys"),
    ("POST", "/encode/queries", b'{"texts": "a"}', 400, "texts must be a list of strings"),
    ("POST", "/encode/documents", b'{"texts": ["a", null]}', 400, "texts[1] is not a string"),
    ("POST", "/encode/documents", b'{"texts": ["\\ud800"]}', 400,
     "texts[0] is not valid Unicode: it holds a lone surrogate"),
    ("POST", "/encode/queries", b'{"texts": [], "keys": "words"}', 400, 'keys must be "tokens" or "ids", not "words"'),
    ("POST", "/encode/queries", json.dumps({"texts": ["a"] * 9}).encode(), 413,
     "a request holds at most 8 texts, not 9"),
    ("POST", "/encode/queries", BIG, 413, OVER),
    ("POST", "/encode/queries", iter([BIG[:3000], BIG[3000:]]), 413, OVER),  # chunked: no length declared
]


@pytest.mark.parametrize("method, path, body, status, message", ERRORS)
def test_refused_requests_get_json_errors(client, method, path, body, status, message):
    answer = client.request(method, path, content=body)
    assert (answer.status_code, answer.headers["content-type"]) == (status, "application/json")
    error = answer.json()["error"]
    assert error == message if message else error.startswith("the body is not valid JSON: ")
    if status == 405:
        assert answer.headers["allow"] == message.split("use ")[1]
    assert client.get("/healthz").status_code == 200  # the service lives on


def _curl(client, argv):
    """What `curl` prints for the README's few options, asked of *client*."""
    options, url, query, body, headers, suffix = iter(argv[1:]), None, [], None, {}, ""
    for option in options:
        if option == "--data-urlencode":
            query.append(urllib.parse.urlencode([tuple(next(options).split("=", 1))]))
        elif option == "-d":
            body = next(options)
        elif option == "-H":
            headers.update([next(options).split(": ", 1)])
        elif option == "-w":
            suffix = next(options)
        elif not option.startswith("-"):
            url = urllib.parse.urlsplit(option)
    if "-G" in argv:
        query, body = query + [body], None
    query = "&".join(filter(None, [url.query] + query))
    target = url.path + ("?" + query if query else "")
    answer = client.request("POST" if body else "GET", target, content=body, headers=headers)
    return answer.text + suffix.replace("%{http_code}", str(answer.status_code)).replace("\\n", "")


def test_readme_examples_print_what_the_service_answers(collection, bundled_jieba, root_dir):
    section = (root_dir / "README.md").read_text(encoding="utf-8").split("\n## Serving\n")[1].split("\n## ")[0]
    lines = section.splitlines()
    examples = [(shlex.split(line[2:]), lines[n + 1]) for n, line in enumerate(lines) if line.startswith("$ curl ")]
    assert len(examples) >= 4
    for client in _client(collection, bundled_jieba, "pymiratext"):
        assert [_curl(client, argv) for argv, _printed in examples] == [printed for _argv, printed in examples]


def test_page_loads_nothing_from_other_hosts(client):
    answer = client.get("/")
    assert answer.headers["content-type"] == "text/html; charset=utf-8"
    assert "default-src 'none'" in answer.headers["content-security-policy"]
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
        (["--db", "{db}", "--port", "{busy}"], "cannot listen on 127.0.0.1 port {busy}: "),
    ],
    ids=["no-file", "no-collection", "port-taken"],
)
def test_cli_errors_are_one_line(capsys, collection, tmp_path, argv, message):
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
    """`pymiratext serve` as a process on a free loopback port, over a database of
    its own (a Milvus Lite file is open in one process at a time); its log is a
    file, which cannot fill up and stall it as a pipe could."""
    db, log = str(corpus_file.parent / "served.db"), corpus_file.parent / "serve.log"
    command = [sys.executable, "-m", "pymiratext"]
    subprocess.run(command + ["index", "--db", db, "--search", "--scoring", "vectors", str(corpus_file)], check=True, capture_output=True)
    with open(log, "w", encoding="utf-8") as stderr:
        process = subprocess.Popen(command + ["serve", "--db", db, "--port", "0", "--threads", "3"],
                                   stdout=subprocess.DEVNULL, stderr=stderr)
    try:
        deadline = time.monotonic() + 60
        while "\n" not in log.read_text(encoding="utf-8"):
            assert time.monotonic() < deadline and process.poll() is None, log.read_text(encoding="utf-8")
            time.sleep(0.05)
        first = log.read_text(encoding="utf-8").split("\n")[0]
        assert first.startswith(f"pymiratext: serving the collection pymiratext of {db} on http://127.0.0.1:"), first
        yield process, first.split(" on ")[1].split("/ ")[0], log
    finally:
        if process.poll() is None:
            process.kill()
        process.wait(timeout=30)


class _Tab:
    """A headless Chromium tab driven over the DevTools protocol."""

    def __init__(self, profile):
        browser = shutil.which("chromium")
        if browser is None:
            pytest.skip("no browser: Debian's chromium is not installed (apt-get install chromium)")
        websocket = pytest.importorskip("websocket", reason="driving the browser needs websocket-client ('test' extra)")
        self.process = subprocess.Popen(
            [browser, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--remote-debugging-port=0",
             f"--user-data-dir={profile}", "about:blank"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        port_file, deadline = profile / "DevToolsActivePort", time.monotonic() + 30
        while not (port_file.exists() and "\n" in port_file.read_text()):
            assert time.monotonic() < deadline and self.process.poll() is None, "the browser did not start"
            time.sleep(0.05)
        tabs = json.load(urllib.request.urlopen(f"http://127.0.0.1:{port_file.read_text().split()[0]}/json/list"))
        url = next(tab["webSocketDebuggerUrl"] for tab in tabs if tab["type"] == "page")
        self.socket, self.calls = websocket.create_connection(url, timeout=30, suppress_origin=True), 0

    def call(self, method, **params):
        self.calls += 1
        self.socket.send(json.dumps({"id": self.calls, "method": method, "params": params}))
        while True:  # events arrive in between
            message = json.loads(self.socket.recv())
            if message.get("id") == self.calls:
                assert "error" not in message, message
                return message["result"]

    def value(self, expression, wait=False):
        deadline = time.monotonic() + 20
        while True:
            result = self.call("Runtime.evaluate", expression=expression, returnByValue=True)["result"].get("value")
            if result or not wait:
                return result
            assert time.monotonic() < deadline, f"waited in vain for {expression}"
            time.sleep(0.05)

    def close(self):
        self.socket.close()
        self.process.terminate()
        self.process.wait(timeout=30)


SHOWN_HITS = """Array.from(document.querySelectorAll('#hits li p')).map(p => [p.textContent,
    Array.from(p.querySelectorAll('mark')).map(m => m.textContent), p.querySelectorAll(':not(mark)').length])"""


def test_search_page_in_a_browser(served, tmp_path):
    _process, url, _log = served
    tab = _Tab(tmp_path)
    try:
        tab.call("Page.navigate", url=url + "/")
        tab.value("document.readyState === 'complete' && document.getElementById('about').textContent", wait=True)
        tab.value("document.getElementById('q').focus()")
        tab.call("Input.insertText", text="手机理财")
        for kind in ("keyDown", "keyUp"):
            tab.call("Input.dispatchKeyEvent", type=kind, key="Enter", code="Enter", windowsVirtualKeyCode=13,
                     text="\r")
        tab.value("document.querySelectorAll('#hits li').length", wait=True)
        shown, location = tab.value(SHOWN_HITS), tab.value("location.search")
    finally:
        tab.close()
    with urllib.request.urlopen(url + "/search?" + urllib.parse.urlencode({"q": "手机理财"})) as answer:
        hits = json.load(answer)["hits"]
    expected = [[h["text"], [h["text"][a:b] for a, b in h["spans"]], 0] if h["text"] else ["(text not stored)", [], 0]
                for h in hits]
    assert shown == expected  # markup in the texts stayed text: no element but the marks
    assert any("<b>" in text for text, _marks, _n in shown) and any("𠀀" in text and marks for text, marks, _n in shown)
    assert location == "?" + urllib.parse.urlencode({"q": "手机理财"})


def test_command_serves_concurrently_and_stops_on_sigint(served, collection):
    process, url, log = served
    host, port = urllib.parse.urlsplit(url).hostname, urllib.parse.urlsplit(url).port

    def ask(query):
        connection, answers = http.client.HTTPConnection(host, port, timeout=30), []
        for method, path, body in (("GET", "/search?" + urllib.parse.urlencode({"q": query}), None),
                                   ("POST", "/encode/queries", json.dumps({"texts": [query]}))):
            connection.request(method, path, body=body)
            answer = connection.getresponse()
            answers.append((answer.status, json.loads(answer.read())))
        connection.close()
        return answers

    with ThreadPoolExecutor(4) as pool:
        answers = list(pool.map(ask, QUERIES * 3))
    for query, ((status, found), vectors) in zip(QUERIES * 3, answers):
        assert status == 200 and vectors == (200, {"vectors": collection.encoder.encode_queries([query])})
        assert [(h["id"], h["text"]) for h in found["hits"]] == [(h.id, h.text) for h in collection.search(query)]
    process.send_signal(signal.SIGINT)
    assert process.wait(timeout=30) == 0
    printed = log.read_text(encoding="utf-8")
    assert printed.endswith("pymiratext: stopped\n") and "Traceback" not in printed
