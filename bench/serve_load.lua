-- The timing client of bench/serve_load.py, for wrk (Debian's wrk, on
-- LuaJIT). One thread (wrk -t1) sends the request paths of a file (args[1])
-- in turn on its connections; once every one is answered it prints a line
-- with the count, the failures (the 503s among them) and the seconds from
-- the first request, and
-- stops; the Python side then ends wrk with SIGINT for its latency figures.
local ffi = require("ffi")
ffi.cdef [[
  typedef struct { long tv_sec; long tv_nsec; } norvel_timespec;
  int clock_gettime(int clock, norvel_timespec *now);
]]
local clock = ffi.new("norvel_timespec")
local function now()
  ffi.C.clock_gettime(1, clock) -- CLOCK_MONOTONIC
  return tonumber(clock.tv_sec) + tonumber(clock.tv_nsec) * 1e-9
end

local paths, sent, answered, failed, refused, started = {}, 0, 0, 0, 0, nil

function init(args)
  for line in io.lines(args[1]) do paths[#paths + 1] = line end
end

function request()
  started = started or now()
  sent = sent % #paths + 1
  return wrk.format("GET", paths[sent])
end

function response(status, headers, body)
  answered = answered + 1
  if status ~= 200 then failed = failed + 1 end
  if status == 503 then refused = refused + 1 end
  if answered == #paths then
    io.write(string.format("norvel: answered %d failed %d refused %d seconds %.6f\n",
                           answered, failed, refused, now() - started))
    io.flush()
    wrk.thread:stop()
  end
end

function done(summary, latency, requests)
  io.write(string.format("norvel: p50_us %d p99_us %d errors %d\n",
    latency:percentile(50), latency:percentile(99),
    summary.errors.connect + summary.errors.read + summary.errors.write +
    summary.errors.status + summary.errors.timeout))
end
