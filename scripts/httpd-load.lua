-- wrk: each request is the JSON-RPC lookup by number of a session, as the
-- web page sends it. The environment gives the session cookie (ZEB_COOKIE),
-- the bridge's origin (ZEB_ORIGIN) and the request's body (ZEB_BODY).
-- Answers that are not a JSON-RPC result are counted and reported.
wrk.method = "POST"
wrk.path = "/rpc"
wrk.body = os.getenv("ZEB_BODY")
wrk.headers["Content-Type"] = "application/json"
wrk.headers["X-Zeb-CSRF"] = "1"
wrk.headers["Origin"] = os.getenv("ZEB_ORIGIN")
wrk.headers["Cookie"] = os.getenv("ZEB_COOKIE")

local threads = {}

function setup(thread)
  table.insert(threads, thread)
end

wrong = 0

function response(status, headers, body)
  if status ~= 200 or not string.find(body, '"result"', 1, true) then
    wrong = wrong + 1
  end
end

function done(summary, latency, requests)
  local failed = 0
  for _, thread in ipairs(threads) do
    failed = failed + thread:get("wrong")
  end
  io.write(string.format("lookups: %d in %.1f s, %.0f per second, %d not answered with a result\n",
                         summary.requests, summary.duration / 1e6,
                         summary.requests / (summary.duration / 1e6), failed))
  for _, p in ipairs({50, 90, 99, 99.9}) do
    io.write(string.format("latency p%g: %.0f µs\n", p, latency:percentile(p)))
  end
  io.write(string.format("latency max: %.0f µs\n", latency.max))
end
