-- wrk script of bench/load.sh: GET requests for the path in LOAD_PATH with
-- "?atid=" and each window of LOAD_WINDOWS (comma-separated) in turn, signed
-- in as LOAD_AUTH (a Basic credential). At the end it prints one JSON line:
-- requests, seconds, failed (connect, read, write and timeout errors and
-- statuses above 399), per_second and latency percentiles in milliseconds.
local path = os.getenv("LOAD_PATH") or "/cgi-bin/attachdesk"
local windows = {}
for w in string.gmatch(os.getenv("LOAD_WINDOWS") or "1", "[^,]+") do
  windows[#windows + 1] = w
end
wrk.headers["Authorization"] = "Basic " .. (os.getenv("LOAD_AUTH") or "")

local turn = 0
function request()
  turn = turn + 1
  return wrk.format("GET", path .. "?atid=" .. windows[turn % #windows + 1])
end

function done(summary, latency, requests)
  local e = summary.errors
  local failed = e.connect + e.read + e.write + e.timeout + e.status
  local seconds = summary.duration / 1e6
  io.write(string.format(
    '{"requests": %d, "seconds": %.3f, "failed": %d, "per_second": %.1f, ' ..
    '"p50_ms": %.2f, "p99_ms": %.2f, "max_ms": %.2f}\n',
    summary.requests, seconds, failed, summary.requests / seconds,
    latency:percentile(50) / 1000, latency:percentile(99) / 1000, latency.max / 1000))
end
