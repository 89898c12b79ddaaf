#!/usr/bin/env python3
"""`pymiratext serve` over loopback against the same work done in-process.

Indexes a corpus of short documents (as bench/milvus_bench.py makes them)
twice with `pymiratext index`, into one database for the service and one for
the in-process side (a Milvus Lite file is open in one process at a time),
then measures in alternating rounds, so that both sides meet the same load of
this shared machine:

- /search (top 10) latency with 4 concurrent clients, against the latency of
  TextCollection.search called in-process one query at a time (target: a
  median at most 3 times the in-process one); for scale, also in-process
  with as many threads as clients, each with its own collection, which meets
  the same queueing for the cores as the service does;
- /encode/queries throughput with 64 short queries a request from 4
  concurrent clients, against TextEncoder.encode_queries on the same batches
  in-process (target: at least half the in-process throughput);
- last, a /healthz asked while 1,500 connections that sent half a request
  line are held open (target: answered within a second).

Each client is a process of its own that keeps its connection open
(http.client), as a backend calling the service would. Ratios are taken round
by round; their median is reported.

Usage: python3 bench/serve_bench.py [--docs 50000] [--queries 500]
       [--batches 100] [--rounds 5] [--clients 4] [--threads 0] [--seed 1]
(needs pymiratext installed with its milvus and serve extras)
"""

import argparse
import http.client
import json
import os
import random
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse
from multiprocessing import get_context

BATCH = 64


def _client(host, port, requests):
    """One client: sends *requests* in turn on one kept-open connection;
    returns (latencies, start, end) on the machine's monotonic clock."""
    connection = http.client.HTTPConnection(host, port, timeout=60)
    latencies, first = [], time.perf_counter()
    for method, path, body in requests:
        start = time.perf_counter()
        connection.request(method, path, body=body, headers={"Content-Type": "application/json"})
        answer = connection.getresponse()
        data = answer.read()
        latencies.append(time.perf_counter() - start)
        if answer.status != 200:
            raise RuntimeError(f"{method} {path}: {answer.status} {data[:200]!r}")
    connection.close()
    return latencies, first, time.perf_counter()


def run_clients(pool, host, port, clients, requests):
    """Sends *requests* ((method, path, body) triples) from *clients* client
    processes of *pool*, dealt out in turn; returns (latencies, wall seconds)."""
    shares = [(host, port, requests[n::clients]) for n in range(clients)]
    results = pool.starmap(_client, shares)
    latencies = [t for result in results for t in result[0]]
    return latencies, max(r[2] for r in results) - min(r[1] for r in results)


def start_server(db, threads, log):
    process = subprocess.Popen([sys.executable, "-m", "pymiratext", "serve", "--db", db, "--port", "0",
                                "--threads", str(threads)], stdout=subprocess.DEVNULL, stderr=log)
    deadline = time.monotonic() + 120
    while True:
        with open(log.name, encoding="utf-8") as stream:
            first = stream.readline()
        if first.endswith("\n"):
            break
        if process.poll() is not None or time.monotonic() > deadline:
            raise SystemExit(f"the service did not start: {first}")
        time.sleep(0.1)
    if " on http://" not in first:
        raise SystemExit(first)
    address = first.split(" on http://")[1].split("/")[0]
    host, port = address.rsplit(":", 1)
    return process, host, int(port)


def idle_connections_check(host, port, count):
    """Opens *count* connections that send half a request line and then
    nothing; returns (status, seconds) of a normal /healthz asked after them."""
    import resource
    import socket

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < count + 64 <= hard or (soft < count + 64 and hard == resource.RLIM_INFINITY):
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    held = []
    try:
        for _ in range(count):
            sock = socket.create_connection((host, port), timeout=10)
            sock.sendall(b"GET /healthz HTTP/1.1\r\nHost: ")
            held.append(sock)
        start = time.perf_counter()
        connection = http.client.HTTPConnection(host, port, timeout=30)
        connection.request("GET", "/healthz")
        answer = connection.getresponse()
        answer.read()
        connection.close()
        return answer.status, time.perf_counter() - start
    finally:
        for sock in held:
            sock.close()


def in_process_round(collection, queries, batches):
    """(search latencies one query at a time, encode_queries seconds for all batches)."""
    latencies = []
    for query in queries:
        start = time.perf_counter()
        collection.search(query, top=10)
        latencies.append(time.perf_counter() - start)
    start = time.perf_counter()
    for batch in batches:
        collection.encoder.encode_queries(batch)
    return latencies, time.perf_counter() - start


def in_process_concurrent(collections, queries):
    """Search latencies with one thread per collection, queries dealt out in turn."""
    from concurrent.futures import ThreadPoolExecutor

    def share(collection, part):
        latencies = []
        for query in part:
            start = time.perf_counter()
            collection.search(query, top=10)
            latencies.append(time.perf_counter() - start)
        return latencies

    count = len(collections)
    with ThreadPoolExecutor(count) as pool:
        parts = pool.map(share, collections, [queries[n::count] for n in range(count)])
        return [t for part in parts for t in part]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--docs", type=int, default=50000)
    parser.add_argument("--queries", type=int, default=500, help="search queries a round")
    parser.add_argument("--batches", type=int, default=100, help=f"requests of {BATCH} queries a round")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--clients", type=int, default=4)
    parser.add_argument("--threads", type=int, default=0, help="the service's --threads")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--idle", type=int, default=1500, help="idle partial connections held in the last check")
    args = parser.parse_args()

    # Imported here: the client processes, which start afresh, need none of it.
    from milvus_bench import make_lines, make_queries, percentiles
    from pymiratext import Jieba, TextEncoder, default_paths
    from pymiratext.milvus import TextCollection

    rng = random.Random(args.seed)
    docs = make_lines(rng, count=args.docs, shortest=6, longest=16)
    encoder = TextEncoder(Jieba(**default_paths()), search=True)
    queries = make_queries(docs, args.queries, rng, encoder)
    batches = [make_queries(docs, BATCH, rng, encoder) for _ in range(args.batches)]
    searches = [("GET", "/search?" + urllib.parse.urlencode({"q": q, "top": 10}), None) for q in queries]
    encodes = [("POST", "/encode/queries", json.dumps({"texts": b}).encode()) for b in batches]

    with tempfile.TemporaryDirectory(prefix="serve-bench-") as folder:
        corpus = os.path.join(folder, "corpus.txt")
        with open(corpus, "w", encoding="utf-8") as stream:
            stream.write("\n".join(docs) + "\n")
        served_db, local_db = os.path.join(folder, "served.db"), os.path.join(folder, "local.db")
        start = time.perf_counter()
        indexing = [subprocess.Popen([sys.executable, "-m", "pymiratext", "index", "--db", db, "--scoring", "vectors", corpus],
                                     stderr=subprocess.DEVNULL) for db in (served_db, local_db)]
        if any(process.wait() for process in indexing):
            raise SystemExit("indexing failed")
        print(f"corpus: {len(docs)} documents, indexed twice side by side in {time.perf_counter() - start:.1f} s")

        with open(os.path.join(folder, "serve.log"), "w", encoding="utf-8") as log:
            process, host, port = start_server(served_db, args.threads, log)
            try:
                with TextCollection.open(local_db, jieba=encoder.jieba) as collection, \
                        get_context("spawn").Pool(args.clients) as pool:
                    in_process_round(collection, queries[:20], batches[:2])  # warm up both sides
                    run_clients(pool, host, port, args.clients, searches[:20] + encodes[:2])
                    rounds = []
                    for _ in range(args.rounds):
                        local_latencies, local_seconds = in_process_round(collection, queries, batches)
                        latencies, _wall = run_clients(pool, host, port, args.clients, searches)
                        _latencies, wall = run_clients(pool, host, port, args.clients, encodes)
                        rounds.append((local_latencies, latencies, local_seconds, wall))
                    single, _wall = run_clients(pool, host, port, 1, searches)
                    idle_status, idle_seconds = idle_connections_check(host, port, args.idle)
                    others = [TextCollection.open(local_db, jieba=encoder.jieba) for _ in range(args.clients - 1)]
                    try:
                        concurrent = in_process_concurrent([collection] + others, queries)
                    finally:
                        for other in others:
                            other.close()
            finally:
                process.send_signal(signal.SIGINT)
                process.wait(timeout=60)

    local_all = [t for r in rounds for t in r[0]]
    remote_all = [t for r in rounds for t in r[1]]
    search_ratio = statistics.median(statistics.median(r[1]) / statistics.median(r[0]) for r in rounds)
    encode_ratio = statistics.median(r[2] / r[3] for r in rounds)
    queries_encoded = BATCH * len(batches)
    local_rate = statistics.median(queries_encoded / r[2] for r in rounds)
    remote_rate = statistics.median(queries_encoded / r[3] for r in rounds)
    print(f"{args.rounds} rounds of {len(queries)} searches and {len(batches)} requests of {BATCH} queries; "
          f"{args.clients} clients; service --threads {args.threads}")
    for label, values in (("search, in-process, one at a time", local_all),
                          (f"search, in-process, {args.clients} threads", concurrent),
                          ("/search, 1 client", single), (f"/search, {args.clients} clients", remote_all)):
        median, p95 = percentiles(values)
        print(f"{label:36s} median {median * 1e3:7.2f} ms   p95 {p95 * 1e3:7.2f} ms")
    print(f"/search median over in-process median: {search_ratio:.2f} (target <= 3)")
    print(f"/search, {args.clients} clients, mean over in-process on {args.clients} threads, mean: "
          f"{statistics.mean(remote_all) / statistics.mean(concurrent):.2f} (target <= 1.3)")
    print(f"{'encode_queries in-process':36s} {local_rate:9.0f} queries/s")
    print(f"{f'/encode/queries, {args.clients} clients':36s} {remote_rate:9.0f} queries/s")
    print(f"/encode/queries throughput over in-process: {encode_ratio:.2f} (target >= 0.5)")
    print(f"/healthz with {args.idle} idle partial connections open: status {idle_status} "
          f"in {idle_seconds:.2f} s (target: answered within 1 s)")


if __name__ == "__main__":
    main()
