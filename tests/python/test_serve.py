"""The HTTP service: its API against a real Milvus Lite collection, the README's
examples, the search page in a real browser, and the command as a process."""

import contextlib
import http.client
import json
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.error
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
    """The corpus indexed as `index --search --scoring vectors` does, reopened:
    its encoder is rebuilt from the model file, as the service's is. The
    database also holds the README's collections: the sample corpus indexed
    by `index` (scored by the engine) and by `index --scoring vectors`."""
    texts = corpus_file.read_text(encoding="utf-8").splitlines()
    encoder = TextEncoder(bundled_jieba, search=True)
    encoder.train(texts)
    db = str(corpus_file.parent / "api.db")
    with milvus.TextCollection.create(db, encoder, name="c", scoring="vectors") as created:
        created.add_items([(n, t) for n, t in enumerate(texts, 1) if t.strip()], progress=False)
    assert cli.main(["index", "--db", db, sample_corpus_path()]) == 0
    assert cli.main(["index", "--db", db, "--collection", "vectors", "--scoring", "vectors", sample_corpus_path()]) == 0
    with milvus.TextCollection.open(db, "c", jieba=bundled_jieba) as opened:
        yield opened


def _client(collection, jieba, name, **options):
    with TestClient(create_app(collection.db, name, jieba=jieba, **options)) as client:
        yield client


@pytest.fixture(scope="module")
def client(collection, bundled_jieba):
    yield from _client(collection, bundled_jieba, "c", threads=2, limits=Limits(max_body=4096, max_batch=8, max_top=50),
                       allow_hosts=["search.example"])


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
    ("PUT", "/search", None, 405, "PUT is not allowed on /search: use GET, HEAD, POST"),
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
    answer = client.request(method, path, content=body, headers={"Content-Type": "application/json"})
    assert (answer.status_code, answer.headers["content-type"]) == (status, "application/json")
    error = answer.json()["error"]
    assert error == message if message else error.startswith("the body is not valid JSON: ")
    if status == 405:
        assert answer.headers["allow"] == message.split("use ")[1]
    assert client.get("/healthz").status_code == 200  # the service lives on


@pytest.fixture(scope="module")
def hybrid(corpus_file, bundled_jieba):
    """Engine-scored collections of the sample corpus with metadata: "h" with
    a dense field of random vectors, "plain" without one; (collection, clients)."""
    import numpy

    with open(sample_corpus_path(), encoding="utf-8") as stream:
        texts = [line for line in stream.read().splitlines() if line.strip()]
    rng = numpy.random.default_rng(3)
    db = str(corpus_file.parent / "hybrid.db")
    meta = [{"kind": "odd" if n % 2 else "even", "n": n} for n in range(len(texts))]
    with milvus.TextCollection.create(db, TextEncoder(bundled_jieba), name="plain") as plain:
        plain.add(texts, metadata=meta)
    created = milvus.TextCollection.create(db, TextEncoder(bundled_jieba), name="h", dense_dimension=4)
    created.add(texts, metadata=meta, dense=rng.normal(size=(len(texts), 4)))
    for h in _client(created, bundled_jieba, "h", limits=Limits(max_top=50)):
        for plain_client in _client(created, bundled_jieba, "plain"):
            yield created, {"h": h, "plain": plain_client}
    created.close()


DENSE = [0.3, -0.2, 0.9, 0.1]
KIND = 'metadata["kind"] == "odd"'


@pytest.mark.parametrize(
    "name, method, asked, status, expected",
    [
        # expected: the arguments of TextCollection.search the hits must equal, or the error's start
        ("h", "GET", {"q": "手机理财", "filter": KIND}, 200, {"filter": KIND}),
        ("h", "GET", {"q": "手机理财", "filter": " "}, 200, {}),  # a blank filter (an empty form field) is none
        ("h", "POST", {"q": "手机理财", "filter": "id < 30 and metadata['n'] > 3", "top": 5}, 200,
         {"filter": "id < 30 and metadata['n'] > 3", "top": 5}),
        ("h", "POST", {"q": "手机理财", "dense": DENSE, "top": 8}, 200, {"dense": DENSE, "top": 8}),
        ("h", "POST", {"q": "机器学习", "dense": DENSE, "filter": KIND, "rrf_k": 5}, 200,
         {"dense": DENSE, "filter": KIND, "rrf_k": 5}),
        ("h", "POST", {"q": "", "dense": DENSE}, 200, {"dense": DENSE}),  # the dense side alone
        ("h", "GET", {"q": "手机", "filter": "metadata[kind] =="}, 400, "the filter is not valid: "),
        ("h", "POST", {"q": "手机", "filter": "nope > 1"}, 400, "the filter is not valid: "),
        ("h", "POST", {"q": "手机", "dense": [1.0, 2.0]}, 400, "the dense query must have 4 numbers a row"),
        ("h", "POST", {"q": "手机", "dense": ["a"] * 4}, 400, "dense must be a list of numbers"),
        ("h", "POST", {"q": "手机", "dense": DENSE, "fusion": "weighted"}, 400,
         "weighted fusion is not available for engine-scored collections"),
        ("h", "POST", {"q": "手机", "fusion": "rrf"}, 400, "fusion, rrf_k and weights apply to a hybrid search"),
        ("h", "POST", {"q": "手机", "top": 51}, 400, "top must lie between 1 and 50, not 51"),
        ("h", "POST", {"q": "手机", "dense": DENSE, "rrf_k": 0}, 400, "rrf_k must be an integer from 1"),
        ("h", "POST", {"q": "手机", "k": 1}, 400, "unknown field 'k': a search has q, top, "),
        ("plain", "POST", {"q": "手机", "dense": DENSE}, 400, "the collection 'plain' has no dense field"),
        ("plain", "ENCODE", {"texts": ["手机"]}, 409, "the collection 'plain' is scored by the engine"),
    ],
)
def test_search_filters_metadata_and_dense_queries(hybrid, name, method, asked, status, expected):
    collection, clients = hybrid
    client = clients[name]
    if method == "GET":
        answer = client.get("/search", params=asked)
    else:
        answer = client.post("/encode/queries" if method == "ENCODE" else "/search", json=asked)
    assert answer.status_code == status, answer.text
    if status != 200:
        assert answer.json()["error"].startswith(expected)
        return
    hits = answer.json()["hits"]
    reference = collection.search(asked["q"], **{"top": 10, **expected})
    assert reference and [(h["id"], h["score"], h["text"], h["metadata"]) for h in hits] == [
        tuple(hit[:4]) for hit in reference]
    if "dense" in expected:
        assert [tuple(h["found_by"]) for h in hits] == [hit.found_by for hit in reference]
        assert any(h["found_by"] == ["dense"] for h in hits)
    else:
        assert all("found_by" not in h for h in hits)


def _curl(client, argv):
    """What `curl` prints for the README's few options, asked of *client*."""
    options, url, query, body, headers, suffix = iter(argv[1:]), None, [], None, {}, ""
    for option in options:
        if option == "--data-urlencode":
            query.append(urllib.parse.urlencode([tuple(next(options).split("=", 1))]))
        elif option == "-d":  # curl joins them with "&"
            body = next(options) if body is None else body + "&" + next(options)
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
    if body and not any(name.lower() == "content-type" for name in headers):
        headers["Content-Type"] = "application/x-www-form-urlencoded"  # what curl -d sends
    answer = client.request("POST" if body else "GET", target, content=body, headers=headers)
    return answer.text + suffix.replace("%{http_code}", str(answer.status_code)).replace("\\n", "")


def test_readme_examples_print_what_the_service_answers(collection, bundled_jieba, root_dir):
    section = (root_dir / "README.md").read_text(encoding="utf-8").split("\n## Serving\n")[1].split("\n## ")[0]
    lines = section.splitlines()
    examples = [(shlex.split(line[2:]), lines[n + 1]) for n, line in enumerate(lines) if line.startswith("$ curl ")]
    assert len(examples) >= 4
    # Port 8000 serves the collection `index` makes, 8001 one made with --scoring vectors.
    for engine in _client(collection, bundled_jieba, "pymiratext"):
        for vectors in _client(collection, bundled_jieba, "vectors"):
            clients = {"8000": engine, "8001": vectors}
            assert [_curl(clients[re.search(r":(800\d)/", " ".join(argv)).group(1)], argv)
                    for argv, _printed in examples] == [printed for _argv, printed in examples]


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


def _start(db, log, *options):
    """`pymiratext serve` over *db* as a process on a free loopback port, its
    log a file (which cannot fill up and stall it as a pipe could); returns
    the process and the service's URL once it serves."""
    with open(log, "w", encoding="utf-8") as stderr:
        process = subprocess.Popen([sys.executable, "-m", "pymiratext", "serve", "--db", db, "--port", "0", *options],
                                   stdout=subprocess.DEVNULL, stderr=stderr)
    deadline = time.monotonic() + 60
    while "\n" not in log.read_text(encoding="utf-8"):
        assert time.monotonic() < deadline and process.poll() is None, log.read_text(encoding="utf-8")
        time.sleep(0.05)
    first = log.read_text(encoding="utf-8").split("\n")[0]
    assert first.startswith(f"pymiratext: serving the collection pymiratext of {db} on http://127.0.0.1:"), first
    return process, first.split(" on ")[1].split("/ ")[0]


@contextlib.contextmanager
def _serving(folder, corpus, *options, scoring="vectors"):
    """The corpus indexed into a database of its own (a Milvus Lite file is
    open in one process at a time) and served: (process, URL, log)."""
    db, log = str(folder / f"{folder.name}.db"), folder / "serve.log"
    command = [sys.executable, "-m", "pymiratext"]
    subprocess.run(command + ["index", "--db", db, "--search", "--scoring", scoring, str(corpus)], check=True,
                   capture_output=True)
    process, url = _start(db, log, *options)
    try:
        yield process, url, log
    finally:
        if process.poll() is None:
            process.kill()
        process.wait(timeout=30)


# Metadata that must show as text on the page.
TAG = "<i>第{}行</i>"


@pytest.fixture(scope="module")
def served(corpus_file):
    """The corpus with metadata, scored by the engine (what `index` makes by default), served."""
    lines = corpus_file.read_text(encoding="utf-8").splitlines()
    records = corpus_file.parent / "records.jsonl"
    records.write_text("".join(json.dumps({"id": n, "text": t, "tag": TAG.format(n)}, ensure_ascii=False) + "\n"
                               for n, t in enumerate(lines, 1) if t.strip()), encoding="utf-8")
    with _serving(corpus_file.parent, records, "--threads", "3", scoring="engine") as started:
        yield started


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
        fields = tab.value("Array.from(document.querySelectorAll('#hits li .fields')).map(f => [f.textContent, "
                           "f.querySelectorAll(':not(b)').length])")
    finally:
        tab.close()
    with urllib.request.urlopen(url + "/search?" + urllib.parse.urlencode({"q": "手机理财"})) as answer:
        hits = json.load(answer)["hits"]
    expected = [[h["text"], [h["text"][a:b] for a, b in h["spans"]], 0] if h["text"] else ["(text not stored)", [], 0]
                for h in hits]
    assert shown == expected  # markup in the texts stayed text: no element but the marks
    assert any("<b>" in text for text, _marks, _n in shown) and any("𠀀" in text and marks for text, marks, _n in shown)
    assert location == "?" + urllib.parse.urlencode({"q": "手机理财"})
    assert fields == [["tag: " + TAG.format(h["id"]), 0] for h in hits]  # metadata as text too


def test_command_serves_concurrently_and_stops_on_sigint(served, corpus_file):
    corpus = corpus_file.read_text(encoding="utf-8").splitlines()
    process, url, log = served
    host, port = urllib.parse.urlsplit(url).hostname, urllib.parse.urlsplit(url).port

    def ask(query):
        connection, answers = http.client.HTTPConnection(host, port, timeout=30), []
        for method, path, body in (("GET", "/search?" + urllib.parse.urlencode({"q": query}), None),
                                   ("POST", "/search", json.dumps({"q": query, "filter": "id > 10"})),
                                   ("POST", "/encode/queries", json.dumps({"texts": [query]}))):
            connection.request(method, path, body=body, headers={"Content-Type": "application/json"})
            answer = connection.getresponse()
            answers.append((answer.status, json.loads(answer.read())))
        connection.close()
        return answers

    with ThreadPoolExecutor(4) as pool:
        answers = list(pool.map(ask, QUERIES * 3))
    for query, ((status, found), (_ok, filtered), encoded) in zip(QUERIES * 3, answers):
        # The engine scores this collection: there is no model to encode with.
        assert encoded[0] == 409 and "scored by the engine" in encoded[1]["error"]
        assert status == 200 and {h["text"] for h in found["hits"]} <= set(corpus) | {None}
        above = [h["id"] for h in found["hits"] if h["id"] > 10]
        got = [h["id"] for h in filtered["hits"]]
        assert got[:len(above)] == above and (len(found["hits"]) == 10 or got == above)
    process.send_signal(signal.SIGINT)
    assert process.wait(timeout=30) == 0
    printed = log.read_text(encoding="utf-8")
    assert printed.endswith("pymiratext: stopped\n") and "Traceback" not in printed


# --------------------------------------------------------------------------
# Facing a network: hosts, content types, slow clients, bounded work


@pytest.mark.parametrize(
    "method, path, headers, status",
    [
        ("GET", "/healthz", {"Host": "attacker.example"}, 421),  # a rebinding page's name
        ("GET", "/search?q=手机", {"Host": "attacker.example:8000"}, 421),
        ("GET", "/healthz", {"Host": "127.0.0.1.attacker.example"}, 421),
        ("GET", "/healthz", {"Host": "localhost:8000"}, 200),
        ("GET", "/healthz", {"Host": "[::1]:8000"}, 200),
        ("GET", "/healthz", {"Host": "127.0.0.2"}, 200),
        ("GET", "/healthz", {"Host": "Search.Example:80"}, 200),  # allowed by name
        ("POST", "/encode/queries", {"Content-Type": "text/plain"}, 415),  # a form any page may send
        ("POST", "/encode/queries", {"Content-Type": "application/x-www-form-urlencoded"}, 415),
        ("POST", "/encode/queries", {}, 415),
        ("POST", "/encode/queries", {"Content-Type": "Application/JSON; charset=utf-8"}, 200),
    ],
)
def test_foreign_hosts_and_non_json_bodies_are_refused(client, method, path, headers, status):
    answer = client.request(method, path, content=b'{"texts": ["a"]}' if method == "POST" else None,
                            headers=headers)
    assert answer.status_code == status, answer.text
    if status != 200:
        assert answer.headers["content-type"] == "application/json" and answer.json()["error"]


def _document(rng, lines, size, word):
    """A long text of corpus lines with *word* at a random place."""
    parts, length = [], 0
    while length < size:
        parts.append(rng.choice(lines))
        length += len(parts[-1])
    parts.insert(rng.randrange(len(parts)), word)
    return "".join(parts)


def test_highlighting_of_long_documents_stays_within_the_budget(tmp_path, bundled_jieba):
    import random

    rng = random.Random(5)
    with open(sample_corpus_path(), encoding="utf-8") as stream:
        lines = [line for line in stream.read().splitlines() if "火锅" not in line]
    texts = [_document(rng, lines, 6000, "火锅") for _ in range(300)]
    encoder = TextEncoder(bundled_jieba, search=True)
    encoder.train(texts)
    db = str(tmp_path / "long.db")
    milvus.TextCollection.create(db, encoder, name="long").add_items(enumerate(texts, 1), progress=False)
    limits = Limits(snippet=120, highlight_budget=10_000)
    for client in _client(milvus.TextCollection.open(db, "long", jieba=bundled_jieba), bundled_jieba, "long",
                          limits=limits):
        started = time.monotonic()
        answer = client.get("/search", params={"q": "火锅", "top": 1000, "text": "snippet"}).json()
        seconds = time.monotonic() - started
    marked = [hit for hit in answer["hits"] if hit["spans"]]
    assert len(answer["hits"]) == 300 and 20 <= len(marked) <= 10_000 // 120
    assert seconds < 10  # segmenting every hit whole took over a minute here
    by_id = dict(enumerate(texts, 1))
    for hit in answer["hits"]:
        whole, (start, end) = by_id[hit["id"]], hit["snippet"]
        assert end - start == 120 and hit["text"] == whole[start:end] and hit["length"] == len(whole)
        # Within its snippet, a hit has the matches that segmenting it whole finds.
        inside = [s for s in match_spans(encoder, whole[max(0, start - 40):end + 40], set(answer["terms"]))]
        inside = [[a + max(0, start - 40), b + max(0, start - 40)] for a, b in inside]
        assert hit["spans"] in ([], [s for s in inside if start <= s[0] and s[1] <= end])
    assert all(whole_hit["spans"] for whole_hit in marked)


def _raw(url, data, timeout=10):
    parts = urllib.parse.urlsplit(url)
    sock = socket.create_connection((parts.hostname, parts.port), timeout=timeout)
    sock.sendall(data)
    return sock


def _read_all(sock):
    chunks = []
    while True:
        chunk = sock.recv(65536)
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)


def test_slow_clients_are_dropped_while_others_are_served(tmp_path, corpus_file):
    with _serving(tmp_path, corpus_file, "--header-timeout", "1.5", "--body-timeout", "1.5",
                  "--max-connections", "40") as (process, url, log):
        host = urllib.parse.urlsplit(url).netloc.encode()
        slow_headers = [_raw(url, b"GET /healthz HTTP/1.1\r\nHost: " + host + b"\r\nX-Slow: ") for _ in range(50)]
        slow_bodies = [_raw(url, b"POST /encode/queries HTTP/1.1\r\nHost: " + host + b"\r\nContent-Type: "
                            b"application/json\r\nContent-Length: 100\r\n\r\n{\"texts\": [") for _ in range(5)]
        started = time.monotonic()
        # Beyond the cap, the longest idle connections made room: a new client is served at once.
        with urllib.request.urlopen(url + "/search?q=%E6%89%8B%E6%9C%BA", timeout=10) as answer:
            assert answer.status == 200 and json.load(answer)["hits"]
        assert time.monotonic() - started < 1
        answers = [_read_all(sock) for sock in slow_headers + slow_bodies]
        assert time.monotonic() - started < 4  # each closed within its deadline
        late = [a for a in answers[:50] if a]
        assert late and all(a.startswith(b"HTTP/1.1 408 ") for a in late)
        assert answers[50:] == [b""] * 5  # a late body: dropped
        for sock in slow_headers + slow_bodies:
            sock.close()
        foreign = _read_all(_raw(url, b"GET /healthz HTTP/1.1\r\nHost: attacker.example\r\nConnection: close\r\n\r\n"))
        assert foreign.startswith(b"HTTP/1.1 421 ")
        # Every connection busy with a request under way: a new one is refused, not queued.
        busy = [_raw(url, b"POST /encode/queries HTTP/1.1\r\nHost: " + host + b"\r\nContent-Type: "
                     b"application/json\r\nContent-Length: 100\r\n\r\n{") for _ in range(40)]
        time.sleep(0.3)
        assert _read_all(_raw(url, b"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")).startswith(
            b"HTTP/1.1 503 ")
        for sock in busy:
            sock.close()
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=30) == 0
    assert log.read_text(encoding="utf-8").splitlines()[1:] == ["pymiratext: stopped"]


def _resident_kib(pid):
    with open(f"/proc/{pid}/status", encoding="ascii") as stream:
        return int(next(line for line in stream if line.startswith("VmRSS:")).split()[1])


def _children(pid):
    with open(f"/proc/{pid}/task/{pid}/children", encoding="ascii") as stream:
        return [int(child) for child in stream.read().split()]


def test_threads_share_one_model_and_the_service_outlives_its_database(tmp_path, bundled_jieba):
    # A model of 150,000 terms (some 10 MB), which a model per thread would copy.
    import random

    rng = random.Random(7)
    words = [f"w{n}" for n in range(150_000)]
    texts = [" ".join(rng.sample(words, 40)) + " 手机理财" for _ in range(4000)]
    encoder = TextEncoder(bundled_jieba)
    encoder.train(texts)
    db, log = str(tmp_path / "big.db"), tmp_path / "serve.log"
    with milvus.TextCollection.create(db, encoder, scoring="vectors") as created:  # the model is the point
        created.add_items(enumerate(texts[:50], 1), progress=False)
    from milvus_lite.server_manager import server_manager_instance

    server_manager_instance.release_server(db)  # for the service to open it
    process, url = _start(db, log, "--threads", "8")
    try:
        def ask(query, top=5):
            with urllib.request.urlopen(url + "/search?" + urllib.parse.urlencode({"q": query, "top": top}),
                                        timeout=60) as answer:
                return [hit["id"] for hit in json.load(answer)["hits"]]

        expected = ask("手机理财")
        one = _resident_kib(process.pid)
        with ThreadPoolExecutor(16) as pool:
            assert list(pool.map(ask, ["手机理财"] * 48)) == [expected] * 48
        assert _resident_kib(process.pid) < 1.3 * one

        # The local database held by the service: other commands say who holds it.
        status = subprocess.run([sys.executable, "-m", "pymiratext", "search", "--db", db, "手机"],
                                capture_output=True, text=True)
        assert status.returncode == 1 and status.stderr.count("\n") == 1
        assert f"in use by process {process.pid} (" in status.stderr

        # The embedded engine dies: requests fail with 503 until it is back.
        for child in _children(process.pid):
            os.kill(child, signal.SIGKILL)
        deadline = time.monotonic() + 60
        while True:
            try:
                assert ask("手机理财") == expected
                break
            except urllib.error.HTTPError as exc:
                assert exc.code == 503 and time.monotonic() < deadline
                time.sleep(0.2)

        # SIGTERM with a request under way: it is answered, then the service stops.
        body = json.dumps({"texts": ["手机理财"] * 200}).encode()
        sock = _raw(url, b"POST /encode/queries HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                    b"Content-Length: %d\r\n\r\n" % len(body) + body[:10])
        time.sleep(0.3)
        process.send_signal(signal.SIGTERM)
        time.sleep(0.3)
        sock.sendall(body[10:])
        assert _read_all(sock).startswith(b"HTTP/1.1 200 ")
        assert process.wait(timeout=30) == 0
    finally:
        if process.poll() is None:
            process.kill()
        process.wait(timeout=30)
    printed = log.read_text(encoding="utf-8")
    assert printed.splitlines()[1:] == ["pymiratext: stopped"], printed
