-- The LV2 plug-in in Ardour 7, headless (ardour7-lua, the "None (Dummy)" backend), driven by
-- daw_test.py, which starts the companion, reads the recordings and judges them. Everything this
-- script needs comes from the environment (DAW_*); it prints "daw: ..." lines that daw_test.py reads,
-- and waits for conditions with deadlines, never for a fixed time alone.
local env = function(k) local v = os.getenv(k); assert(v, k .. " is not set"); return v end
local dir, name = env("DAW_SESSION_DIR"), env("DAW_SESSION_NAME")
local companion, play_pidfile = env("DAW_COMPANION"), env("DAW_PLAY_PIDFILE")
local rate = 48000

local function say(...) print("daw: " .. string.format(...)); io.stdout:flush() end
local function sleep(s) ARDOUR.LuaAPI.usleep(math.floor(s * 1000000)) end
local function now() return Session:transport_sample() end

-- A control port of the plug-in on `track`, counted among its control ports (mode 0, applied_mode 1,
-- ring_frames 7).
local MODE, APPLIED_MODE, RING_FRAMES = 0, 1, 7
local function output(track, which)
  return (ARDOUR.LuaAPI.get_processor_param(track:nth_plugin(0), which, true))
end
-- Waits up to `limit` seconds for `cond`; true when it held.
local function wait_for(limit, cond)
  for _ = 1, math.floor(limit / 0.05) do
    if cond() then return true end
    sleep(0.05)
  end
  return cond()
end

local function add_plugin_track(track_name)
  local t = Session:new_audio_track(1, 2, nil, 1, track_name, ARDOUR.PresentationInfo.max_order,
                                    ARDOUR.TrackMode.Normal, false):front()
  local p = ARDOUR.LuaAPI.new_plugin(Session, "urn:ondara:receiver", ARDOUR.PluginType.LV2, "")
  assert(not p:isnil(), "no plug-in urn:ondara:receiver")
  assert(t:add_processor_by_index(p, 0, nil, true) == 0)
  return t
end

-- Records the plug-in track's left output on the track "rec" for as long as `body` runs.
local function record(body)
  local rec = Session:route_by_name("rec"):to_track()
  rec:rec_enable_control():set_value(1, PBD.GroupControlDisposition.NoGroup)
  Session:goto_start(false)
  Session:maybe_enable_record(false)
  Session:request_roll(ARDOUR.TransportRequestSource.TRS_UI)
  assert(wait_for(20, function() return Session:transport_rolling() and Session:actively_recording() end),
         "the transport did not roll")
  body()
  Session:request_stop(false, false, ARDOUR.TransportRequestSource.TRS_UI)
  assert(wait_for(20, function() return not Session:transport_rolling() end), "the transport did not stop")
  rec:rec_enable_control():set_value(0, PBD.GroupControlDisposition.NoGroup)
  Session:disable_record(false, false)
end

local function start_play(args)
  os.execute(string.format("%s play %s > %s.log 2>&1 & echo $! > %s", companion, args, play_pidfile, play_pidfile))
end

AudioEngine:set_backend("None (Dummy)", "", "")
local phase = env("DAW_PHASE")

if phase == "record" then
  assert(create_session(dir, name, rate), "cannot create the session")
  local t = add_plugin_track("ondara")
  local rec = Session:new_audio_track(1, 1, nil, 1, "rec", ARDOUR.PresentationInfo.max_order,
                                      ARDOUR.TrackMode.Normal, false):front()
  rec:input():disconnect_all(nil)
  rec:input():audio(0):connect("ondara/audio_out 1")
  record(function()
    assert(wait_for(20, function() return output(t, RING_FRAMES) > 0 end), "no ring audio")
    say("audio at %d", now())
    -- The mode control from Lua reaches the companion's serve-mode, and the applied mode comes back.
    ARDOUR.LuaAPI.set_processor_param(t:nth_plugin(0), MODE, 2)
    say("applied mode %s", wait_for(20, function() return output(t, APPLIED_MODE) == 2 end) and "2" or "not 2")
    -- A second instance on another track: the first keeps its mode and its audio.
    add_plugin_track("ondara2")
    say("second instance at %d", now())
    sleep(1)
    say("after a second instance: applied mode %d, ring frames %d", output(t, APPLIED_MODE), output(t, RING_FRAMES))
    os.execute("kill -9 $(cat " .. play_pidfile .. ")")
    say("killed at %d", now())
    sleep(2.5)
    say("restarting at %d", now())
    start_play(env("DAW_PLAY_ARGS"))
    assert(wait_for(20, function() return output(t, RING_FRAMES) > 0 end), "no audio after the restart")
    say("audio again at %d", now())
    sleep(1)
  end)
  Session:save_state("", false, false, false, false, false)
  close_session()
  say("saved")
elseif phase == "reload" then
  assert(load_session(dir, name), "cannot load the session")
  local t = Session:route_by_name("ondara"):to_track()
  record(function()
    say("audio %s", wait_for(20, function() return output(t, RING_FRAMES) > 0 end) and "yes" or "no")
    say("mode control %d, applied mode %s", output(t, MODE),
        wait_for(20, function() return output(t, APPLIED_MODE) == 2 end) and "2" or "not 2")
    sleep(1)
  end)
  Session:save_state("", false, false, false, false, false)
  close_session()
  say("reloaded")
end
