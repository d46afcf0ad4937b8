-- wrk script for the load test: every response is checked, each thread stops
-- after LOAD_LIMIT responses, and the run fails (exit status 1) on any
-- socket error, any unexpected status or any incomplete or wrong body.
--   LOAD_KIND   metrics-mock | metrics-nvidia | info | page | refused
--   LOAD_LIMIT  responses per thread (default 1000)
local kind = os.getenv("LOAD_KIND") or "page"
local limit = tonumber(os.getenv("LOAD_LIMIT") or "1000")
local threads = {}

-- The refusal's body, from the expected response the other suites compare with.
local function refusal_body()
  local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
  local f = assert(io.open(here .. "../data/expected/refusal", "rb"))
  local text = f:read("*a")
  f:close()
  return text:sub(text:find("\r\n\r\n", 1, true) + 4)
end
local REFUSAL_BODY = refusal_body()

local function starts(s, prefix) return s:sub(1, #prefix) == prefix end
local function ends(s, suffix) return #s >= #suffix and s:sub(-#suffix) == suffix end

local checks = {
  ["metrics-mock"] = function(status, h, body)
    return status == 200 and h["Content-Type"] == "application/json; charset=utf-8"
      and starts(body, '{"ok":true,"action":"metrics","available":true,"source":"mock","mocked":true,"driver":"1.2.3"')
      and body:find('"count":2,"process_count":2,', 1, true) ~= nil and ends(body, '"message":""}\n')
  end,
  ["metrics-nvidia"] = function(status, h, body)
    return status == 200 and h["Content-Type"] == "application/json; charset=utf-8"
      and starts(body, '{"ok":true,"action":"metrics","available":true,"source":"nvidia","mocked":false')
      and body:find('"count":3,"process_count":2,', 1, true) ~= nil and ends(body, '"message":""}\n')
  end,
  info = function(status, h, body)
    return status == 200 and h["Content-Type"] == "application/json; charset=utf-8"
      and starts(body, '{"ok":true,"action":"info","plugin":"plugin_vistrel"')
      and ends(body, ',"zero_network":true}\n')
  end,
  page = function(status, h, body)
    return status == 200 and h["Content-Type"] == "text/html; charset=utf-8"
      and starts(body, "<!DOCTYPE html>") and ends(body, "</html>\n")
  end,
  refused = function(status, h, body)
    return status == 401 and h["Content-Type"] == "application/json; charset=utf-8"
      and h["Cache-Control"] == "no-store" and body == REFUSAL_BODY
  end,
}
local check = checks[kind]

function setup(thread)
  table.insert(threads, thread)
end

function init(args)
  responses = 0
  bad = 0
  first_bad = ""
  if kind == "refused" then
    wrk.headers["X-Bot-Password"] = "wrong"
    wrk.headers["Authorization"] = "Bearer wrong"
  end
end

function response(status, headers, body)
  responses = responses + 1
  if not check(status, headers, body) then
    bad = bad + 1
    if first_bad == "" then
      first_bad = status .. " " .. body:sub(1, 160)
    end
  end
  if responses >= limit then
    wrk.thread:stop()
  end
end

function done(summary, latency, requests)
  local checked, wrong, sample, limited = 0, 0, "", "no"
  for _, t in ipairs(threads) do
    checked = checked + t:get("responses")
    if t:get("responses") >= limit then limited = "yes" end
    wrong = wrong + t:get("bad")
    if sample == "" then sample = t:get("first_bad") end
  end
  local e = summary.errors
  -- wrk counts every status outside 2xx/3xx; only the refusal run expects them.
  local unexpected_status = kind == "refused" and (summary.requests - e.status) or e.status
  -- wrk always runs for the whole duration; when a thread stopped at its
  -- limit earlier, this rate is only a lower bound (limited=yes).
  local rps = summary.requests / (summary.duration / 1e6)
  io.write(string.format(
    "LOAD kind=%s requests=%d checked=%d wrong=%d rps=%.0f limited=%s connect=%d read=%d write=%d timeout=%d unexpected_status=%d p99_ms=%.1f\n",
    kind, summary.requests, checked, wrong, rps, limited, e.connect, e.read, e.write, e.timeout, unexpected_status,
    latency:percentile(99) / 1000))
  if sample ~= "" then
    io.write("first wrong response: " .. sample .. "\n")
  end
  if checked == 0 or wrong > 0 or e.connect + e.read + e.write + e.timeout > 0 or unexpected_status ~= 0 then
    os.exit(1)
  end
end
