-- hpsdr.lua: HPSDR Protocol 1 for Wireshark and tshark (written for and tested
-- with Wireshark 4.0 of Debian 12), as varnholt serves it on UDP port 1024.
--
-- Decodes the discovery request and reply, the start and stop commands, the
-- EP2 frames from the client (control words C0..C4 of both blocks, named and
-- in their units as the radio's decoder reads them; the transmit I/Q and
-- audio summarised as a peak level per block) and the EP6 frames from the
-- radio (the rotating status words, the receiver slots when the general word
-- that sets the receiver count was seen). Expert info: sequence gaps and
-- repeats per direction, blocks without sync bytes, a start from a second
-- client, no EP2 frame for more than a second while the radio streams,
-- words the radio ignores.
--
-- Registered for UDP port 1024, and as a heuristic on every UDP port (an
-- EF FE header with a known type and the length that type has).
--
-- From a clone:  tshark -X lua_script:tools/wireshark/hpsdr.lua -r capture.pcap
-- Installed by the varnholt-tools package into Wireshark's global Lua
-- plugin folder, where tshark and wireshark load it by themselves.

local radio_port = 1024
local frame_size = 1032
local block_offsets = { 8, 520 }
local payload_size = 504
local freq_max = 30720000 -- the radio ignores higher frequency words
local ep2_silence_limit = 1.0 -- seconds

local band = bit32 and bit32.band or bit.band
local rshift = bit32 and bit32.rshift or bit.rshift
local lshift = bit32 and bit32.lshift or bit.lshift
local bor = bit32 and bit32.bor or bit.bor

local registered, hpsdr = pcall(Proto, "hpsdr", "HPSDR Protocol 1")
if not registered then
  -- Loaded once already: the installed plugin, and this file again with
  -- -X lua_script:. The one loaded first stays.
  return
end

-- ---- fields -----------------------------------------------------------------

local status_names = { [2] = "idle", [3] = "streaming" }
local start_names = {
  [0] = "stop",
  [1] = "start: I/Q stream",
  [2] = "start: wideband stream",
  [3] = "start: I/Q and wideband streams",
}
local ep2_address_names = {
  [0] = "general settings",
  [1] = "transmit frequency",
  [2] = "receiver 1 frequency",
  [3] = "receiver 2 frequency",
  [4] = "receiver 3 frequency",
  [5] = "receiver 4 frequency (ignored by the radio)",
  [6] = "receiver 5 frequency (ignored by the radio)",
  [7] = "receiver 6 frequency (ignored by the radio)",
  [8] = "receiver 7 frequency (ignored by the radio)",
  [9] = "drive level and filters",
  [10] = "receive attenuation",
  [11] = "second attenuation and keyer settings",
  [12] = "ignored by the radio",
  [13] = "ignored by the radio",
  [14] = "transmit attenuation",
  [15] = "keyer enable, delay and sidetone level",
  [16] = "hang time and sidetone frequency",
  [18] = "receiver 8 frequency (ignored by the radio)",
}
local ep6_address_names = {
  [0] = "versions",
  [1] = "forward power",
  [2] = "reverse power and auxiliary input",
  [3] = "supply",
  [4] = "constant",
}
local attenuator_names = { [0] = "0 dB", [10] = "10 dB", [20] = "20 dB", [30] = "30 dB" }
local keyer_modes = {
  [0] = "straight key",
  [1] = "iambic, memory cleared early in the element",
  [2] = "iambic",
  [3] = "iambic",
}

local f = {
  -- discovery
  discovery = ProtoField.none("hpsdr.discovery", "Discovery"),
  disc_kind = ProtoField.string("hpsdr.discovery.kind", "Kind"),
  disc_status = ProtoField.uint8("hpsdr.discovery.status", "Status", base.DEC, status_names),
  disc_mac = ProtoField.ether("hpsdr.discovery.mac", "MAC"),
  disc_firmware = ProtoField.uint8("hpsdr.discovery.firmware", "Firmware version", base.DEC),
  disc_board = ProtoField.uint8("hpsdr.discovery.board_id", "Board id", base.HEX),
  -- start and stop
  start = ProtoField.none("hpsdr.start", "Start"),
  stop = ProtoField.none("hpsdr.stop", "Stop"),
  command = ProtoField.uint8("hpsdr.start.command", "Command", base.HEX, start_names),
  start_iq = ProtoField.uint8("hpsdr.start.iq", "I/Q stream", base.DEC, nil, 0x01),
  start_wideband = ProtoField.uint8("hpsdr.start.wideband", "Wideband stream", base.DEC, nil, 0x02),
  -- EP2
  ep2 = ProtoField.none("hpsdr.ep2", "EP2 (client to radio)"),
  ep2_seq = ProtoField.uint32("hpsdr.ep2.seq", "Sequence number", base.DEC),
  ep2_block = ProtoField.uint8("hpsdr.ep2.block", "Block", base.DEC),
  ep2_sync = ProtoField.bytes("hpsdr.ep2.sync", "Sync"),
  ep2_c0 = ProtoField.uint8("hpsdr.ep2.c0", "C0", base.HEX),
  ep2_mox = ProtoField.uint8("hpsdr.ep2.c0.mox", "MOX", base.DEC, nil, 0x01),
  ep2_address = ProtoField.uint8("hpsdr.ep2.c0.address", "Address", base.DEC, ep2_address_names, 0xFE),
  ep2_c1_c4 = ProtoField.bytes("hpsdr.ep2.c1_c4", "C1..C4"),
  -- address 0, general settings
  rate = ProtoField.uint32("hpsdr.ep2.rate", "Sample rate (Hz)", base.DEC),
  rate_code = ProtoField.uint8("hpsdr.ep2.rate_code", "Rate code", base.DEC, nil, 0x03),
  eer = ProtoField.uint8("hpsdr.ep2.eer", "EER", base.DEC, nil, 0x01),
  oc_outputs = ProtoField.uint8("hpsdr.ep2.oc_outputs", "Open-collector outputs", base.HEX, nil, 0xFE),
  attenuator = ProtoField.uint8("hpsdr.ep2.attenuator", "Attenuator (dB)", base.DEC, attenuator_names),
  preamp = ProtoField.uint8("hpsdr.ep2.preamp", "Preamplifier", base.DEC, nil, 0x04),
  c3_accessory = ProtoField.uint8("hpsdr.ep2.c3_accessory", "C3 bits 3..4 (to accessories)", base.DEC, nil, 0x18),
  rx_antenna = ProtoField.uint8("hpsdr.ep2.rx_antenna", "Receive antenna code", base.DEC, nil, 0x60),
  rx_out = ProtoField.uint8("hpsdr.ep2.rx_out", "Receive out", base.DEC, nil, 0x80),
  tx_antenna = ProtoField.uint8("hpsdr.ep2.tx_antenna", "Transmit antenna code", base.DEC, nil, 0x03),
  receivers = ProtoField.uint8("hpsdr.ep2.receivers", "Receivers", base.DEC),
  rx_sync = ProtoField.uint8("hpsdr.ep2.rx_sync", "Receiver synchronisation", base.DEC, nil, 0x80),
  -- addresses 1..4 (and the receiver words the radio ignores)
  tx_freq = ProtoField.uint32("hpsdr.ep2.tx_freq", "Transmit frequency (Hz)", base.DEC),
  rx_freq = ProtoField.uint32("hpsdr.ep2.rx_freq", "Receiver frequency (Hz)", base.DEC),
  receiver = ProtoField.uint8("hpsdr.ep2.receiver", "Receiver", base.DEC),
  -- address 9
  drive = ProtoField.uint8("hpsdr.ep2.drive", "Drive level", base.DEC),
  mic_boost = ProtoField.uint8("hpsdr.ep2.mic_boost", "Microphone boost", base.DEC, nil, 0x01),
  manual_filters = ProtoField.uint8("hpsdr.ep2.manual_filters", "Manual filter selection", base.DEC, nil, 0x40),
  alex_c3 = ProtoField.uint8("hpsdr.ep2.alex.c3", "Alex C3 (high-pass selections and relays)", base.HEX),
  high_pass = ProtoField.uint8("hpsdr.ep2.alex.high_pass", "High-pass selections", base.HEX, nil, 0x3F),
  six_metres = ProtoField.uint8("hpsdr.ep2.alex.six_metres", "6 m path", base.DEC, nil, 0x40),
  relay_disable = ProtoField.uint8("hpsdr.ep2.alex.relay_disable", "Transmit/receive relay off", base.DEC, nil, 0x80),
  low_pass = ProtoField.uint8("hpsdr.ep2.alex.low_pass", "Alex C4 (low-pass selections)", base.HEX),
  -- address 10, 11, 14
  rx_att = ProtoField.uint8("hpsdr.ep2.rx_att", "Receive attenuation (dB)", base.DEC, nil, 0x1F),
  rx_att2 = ProtoField.uint8("hpsdr.ep2.rx_att2", "Second receive attenuation (dB)", base.DEC, nil, 0x1F),
  tx_att = ProtoField.uint8("hpsdr.ep2.tx_att", "Transmit attenuation (dB)", base.DEC, nil, 0x1F),
  cw_reversed = ProtoField.uint8("hpsdr.ep2.cw.reversed", "Paddles reversed", base.DEC, nil, 0x40),
  cw_speed = ProtoField.uint8("hpsdr.ep2.cw.speed", "Keyer speed (WPM)", base.DEC, nil, 0x3F),
  cw_mode = ProtoField.uint8("hpsdr.ep2.cw.mode", "Keyer mode", base.DEC, keyer_modes, 0xC0),
  cw_weight = ProtoField.uint8("hpsdr.ep2.cw.weight", "Keyer weight", base.DEC, nil, 0x7F),
  cw_spacing = ProtoField.uint8("hpsdr.ep2.cw.spacing", "Letter spacing", base.DEC, nil, 0x80),
  -- address 15, 16
  cw_internal = ProtoField.uint8("hpsdr.ep2.cw.internal", "Internal keyer", base.DEC, nil, 0x01),
  sidetone_level = ProtoField.uint8("hpsdr.ep2.cw.sidetone_level", "Sidetone level", base.DEC),
  cw_delay = ProtoField.uint8("hpsdr.ep2.cw.delay", "RF delay (ms)", base.DEC),
  cw_hang = ProtoField.uint16("hpsdr.ep2.cw.hang", "PTT hang time (ms)", base.DEC),
  sidetone_freq = ProtoField.uint16("hpsdr.ep2.cw.sidetone_freq", "Sidetone frequency (Hz)", base.DEC),
  -- payload summary
  tx_peak = ProtoField.uint16("hpsdr.ep2.tx_peak", "Transmit I/Q peak", base.DEC),
  audio_peak = ProtoField.uint16("hpsdr.ep2.audio_peak", "Audio peak", base.DEC),
  -- EP6
  ep6 = ProtoField.none("hpsdr.ep6", "EP6 (radio to client)"),
  ep6_seq = ProtoField.uint32("hpsdr.ep6.seq", "Sequence number", base.DEC),
  ep6_block = ProtoField.uint8("hpsdr.ep6.block", "Block", base.DEC),
  ep6_sync = ProtoField.bytes("hpsdr.ep6.sync", "Sync"),
  ep6_c0 = ProtoField.uint8("hpsdr.ep6.c0", "C0", base.HEX),
  ptt = ProtoField.uint8("hpsdr.ep6.ptt", "PTT", base.DEC, nil, 0x01),
  dash = ProtoField.uint8("hpsdr.ep6.dash", "Dash", base.DEC, nil, 0x02),
  dot = ProtoField.uint8("hpsdr.ep6.dot", "Dot", base.DEC, nil, 0x04),
  ep6_address = ProtoField.uint8("hpsdr.ep6.address", "Status address", base.DEC, ep6_address_names, 0xF8),
  ep6_c1_c4 = ProtoField.bytes("hpsdr.ep6.c1_c4", "C1..C4"),
  adc_overload = ProtoField.uint8("hpsdr.ep6.adc_overload", "ADC overload", base.DEC, nil, 0x01),
  version_c2 = ProtoField.uint8("hpsdr.ep6.version_c2", "Version byte C2", base.HEX),
  version_c3 = ProtoField.uint8("hpsdr.ep6.version_c3", "Version byte C3", base.HEX),
  version_c4 = ProtoField.uint8("hpsdr.ep6.version_c4", "Version byte C4", base.HEX),
  exciter_power = ProtoField.uint16("hpsdr.ep6.exciter_power", "Exciter power (counts)", base.DEC),
  forward_power = ProtoField.uint16("hpsdr.ep6.forward_power", "Forward power (counts)", base.DEC),
  reverse_power = ProtoField.uint16("hpsdr.ep6.reverse_power", "Reverse power (counts)", base.DEC),
  aux_input = ProtoField.uint16("hpsdr.ep6.aux_input", "Auxiliary input (counts)", base.DEC),
  supply = ProtoField.uint16("hpsdr.ep6.supply", "Supply (counts)", base.DEC),
  ep6_receivers = ProtoField.uint8("hpsdr.ep6.receivers", "Receivers", base.DEC),
  slot_size = ProtoField.uint8("hpsdr.ep6.slot_size", "Slot size (bytes)", base.DEC),
  slots = ProtoField.uint8("hpsdr.ep6.slots", "Samples per block", base.DEC),
  rx_peak = ProtoField.uint32("hpsdr.ep6.rx_peak", "Receiver I/Q peak", base.DEC),
  mic_peak = ProtoField.uint16("hpsdr.ep6.mic_peak", "Microphone peak", base.DEC),
  -- sequence analysis
  expected = ProtoField.uint32("hpsdr.seq_expected", "Expected sequence number", base.DEC),
}
local field_list = {}
for _, v in pairs(f) do
  field_list[#field_list + 1] = v
end
hpsdr.fields = field_list

local e = {
  seq_gap = ProtoExpert.new("hpsdr.seq_gap", "Sequence gap", expert.group.SEQUENCE, expert.severity.WARN),
  seq_repeat = ProtoExpert.new("hpsdr.seq_repeat", "Sequence number repeated or out of order",
    expert.group.SEQUENCE, expert.severity.WARN),
  seq_restart = ProtoExpert.new("hpsdr.seq_restart", "Sequence begins again at 0",
    expert.group.SEQUENCE, expert.severity.CHAT),
  no_sync = ProtoExpert.new("hpsdr.no_sync", "Block without sync bytes 7F 7F 7F",
    expert.group.MALFORMED, expert.severity.WARN),
  second_client = ProtoExpert.new("hpsdr.second_client", "Start from a second client",
    expert.group.SEQUENCE, expert.severity.WARN),
  ep2_silence = ProtoExpert.new("hpsdr.ep2_silence", "No EP2 frame for more than a second while streaming",
    expert.group.SEQUENCE, expert.severity.WARN),
  ignored = ProtoExpert.new("hpsdr.ignored", "Ignored by the radio",
    expert.group.PROTOCOL, expert.severity.NOTE),
  short = ProtoExpert.new("hpsdr.short", "Data frame shorter than 1032 bytes",
    expert.group.MALFORMED, expert.severity.ERROR),
}
hpsdr.experts = { e.seq_gap, e.seq_repeat, e.seq_restart, e.no_sync, e.second_client, e.ep2_silence,
  e.ignored, e.short }

-- ---- state across frames ----------------------------------------------------
--
-- Built on the first pass, in capture order, and kept per frame number so
-- that later passes (the GUI clicking about) show the same.

local facts       -- frame number -> what the first pass found
local last_seq    -- "EP2|src|dst" or "EP6|src|dst" -> last sequence number
local streams     -- radio endpoint -> { client = endpoint, since = time }
local last_ep2    -- radio endpoint -> time of the last EP2 frame
local silence_flagged -- radio endpoint -> true once the silence was reported
local receivers_of -- radio endpoint -> { n = receivers, frame = number }

local function reset()
  facts, last_seq, streams, last_ep2, silence_flagged, receivers_of = {}, {}, {}, {}, {}, {}
end
reset()
hpsdr.init = reset

local function endpoint(addr, port)
  return tostring(addr) .. ":" .. port
end

-- ---- helpers ----------------------------------------------------------------

local function s16(s, i) -- signed 16-bit, most significant byte first, at 1-based i
  local v = s:byte(i) * 256 + s:byte(i + 1)
  if v >= 0x8000 then v = v - 0x10000 end
  return v
end

local function s24(s, i)
  local v = (s:byte(i) * 256 + s:byte(i + 1)) * 256 + s:byte(i + 2)
  if v >= 0x800000 then v = v - 0x1000000 end
  return v
end

local function dbfs(peak, full)
  if peak == 0 then return "silence" end
  return string.format("%.1f dBFS", 20 * math.log10(peak / full))
end

local function plural(n, one, many)
  return n .. " " .. (n == 1 and one or many)
end

-- Sequence analysis of one direction; returns the fact table part.
local function sequence_fact(key, seq)
  local last = last_seq[key]
  last_seq[key] = seq
  if last == nil then return {} end
  local expected = (last + 1) % 4294967296
  if seq == expected then return { expected = expected } end
  if seq == 0 then return { expected = expected, restart = true } end
  local ahead = (seq - expected) % 4294967296
  if ahead < 0x80000000 then return { expected = expected, gap = ahead } end
  return { expected = expected, repeated = true }
end

local function add_sequence(tree, item, fact, kind)
  if fact.expected == nil then return end
  local ex = tree:add(f.expected, fact.expected)
  ex:set_generated()
  if fact.gap then
    item:add_proto_expert_info(e.seq_gap, string.format("%s sequence gap: %s missing (expected %d)",
      kind, plural(fact.gap, "frame", "frames"), fact.expected))
  elseif fact.repeated then
    item:add_proto_expert_info(e.seq_repeat, string.format(
      "%s sequence number repeated or out of order (expected %d)", kind, fact.expected))
  elseif fact.restart then
    item:add_proto_expert_info(e.seq_restart, kind .. " sequence begins again at 0")
  end
end

-- ---- discovery, start, stop --------------------------------------------------

-- EF FE 02 starts both the request and the reply of an idle radio (whose
-- status byte is 02): the reply comes from the radio's port, and is 60
-- bytes long where clients send 63.
local function from_radio(tvb, pinfo)
  if pinfo.src_port == radio_port and pinfo.dst_port ~= radio_port then return true end
  if pinfo.dst_port == radio_port and pinfo.src_port ~= radio_port then return false end
  return tvb:len() == 60
end

local function dissect_discovery(tvb, pinfo, root)
  local t = root:add(f.discovery, tvb())
  if from_radio(tvb, pinfo) then
    t:add(f.disc_kind, tvb(0, 3), "reply")
    t:add(f.disc_status, tvb(2, 1))
    local status = status_names[tvb(2, 1):uint()] or "?"
    if tvb:len() < 11 then
      pinfo.cols.info = "Discovery reply (short)"
      return
    end
    t:add(f.disc_mac, tvb(3, 6))
    t:add(f.disc_firmware, tvb(9, 1))
    t:add(f.disc_board, tvb(10, 1))
    local text = string.format("Discovery reply: %s, MAC %s, firmware %d, board 0x%02x", status,
      tostring(tvb(3, 6):ether()), tvb(9, 1):uint(), tvb(10, 1):uint())
    t:set_text(text)
    pinfo.cols.info = text
  else
    t:add(f.disc_kind, tvb(0, 3), "request")
    t:set_text("Discovery request")
    pinfo.cols.info = "Discovery request"
    if tvb(3, 1):uint() ~= 0 then
      t:add_proto_expert_info(e.ignored, "byte 3 is not 00: the radio does not answer")
    end
  end
end

local function dissect_command(tvb, pinfo, root)
  local c = tvb(3, 1):uint()
  local radio = endpoint(pinfo.dst, pinfo.dst_port)
  local client = endpoint(pinfo.src, pinfo.src_port)
  local fact = facts[pinfo.number]
  if fact == nil then
    fact = {}
    if c >= 1 and c <= 3 then
      local s = streams[radio]
      if s and s.client ~= client then fact.taken_from = s.client end
      streams[radio] = { client = client, since = pinfo.abs_ts }
      silence_flagged[radio] = nil
    elseif c == 0 then
      streams[radio] = nil
    end
    facts[pinfo.number] = fact
  end
  if c == 0 then
    local t = root:add(f.stop, tvb())
    t:add(f.command, tvb(3, 1))
    pinfo.cols.info = "Stop"
    return
  end
  if c > 3 then
    local t = root:add(tvb(), string.format("Command EF FE 04 %02X", c))
    t:add(f.command, tvb(3, 1))
    pinfo.cols.info = string.format("Command EF FE 04 %02X (ignored by the radio)", c)
    t:add_proto_expert_info(e.ignored, "a command above 03 is ignored by the radio")
    return
  end
  local t = root:add(f.start, tvb())
  t:add(f.command, tvb(3, 1))
  t:add(f.start_iq, tvb(3, 1))
  t:add(f.start_wideband, tvb(3, 1))
  local text = "Start" .. start_names[c]:sub(6)
  t:set_text(text .. " (the radio starts its one receive stream for any of 01..03)")
  pinfo.cols.info = text
  if fact.taken_from then
    t:add_proto_expert_info(e.second_client, "start from a second client: the stream moves from " ..
      fact.taken_from .. " to " .. client)
  end
end

-- ---- EP2 ----------------------------------------------------------------------

local function freq_item(t, field, r, label_extra)
  local hz = r:uint()
  local item = t:add(field, r)
  if label_extra then item:append_text(label_extra) end
  if hz > freq_max then
    item:add_proto_expert_info(e.ignored, string.format("above %d Hz: the radio ignores this word", freq_max))
  end
  return hz
end

-- Decodes C1..C4 of one control word into `t`; returns a short summary.
local function decode_word(tvb, c0_off, t)
  local c0 = tvb(c0_off, 1):uint()
  local addr = rshift(c0, 1)
  local c1r, c2r, c3r, c4r = tvb(c0_off + 1, 1), tvb(c0_off + 2, 1), tvb(c0_off + 3, 1), tvb(c0_off + 4, 1)
  local c1, c2, c3, c4 = c1r:uint(), c2r:uint(), c3r:uint(), c4r:uint()
  local c14 = tvb(c0_off + 1, 4)
  if addr == 0 then
    local code = band(c1, 3)
    t:add(f.rate, c1r, lshift(48000, code))
    t:add(f.rate_code, c1r)
    t:add(f.eer, c2r)
    t:add(f.oc_outputs, c2r)
    t:add(f.attenuator, c3r, band(c3, 3) * 10)
    t:add(f.preamp, c3r)
    t:add(f.c3_accessory, c3r)
    t:add(f.rx_antenna, c3r)
    t:add(f.rx_out, c3r)
    t:add(f.tx_antenna, c4r)
    local n = band(rshift(c4, 3), 7) + 1
    t:add(f.receivers, c4r, n)
    t:add(f.rx_sync, c4r)
    return string.format("general: %d Hz, %s", lshift(48000, code), plural(n, "receiver", "receivers")), n
  elseif addr == 1 then
    local hz = freq_item(t, f.tx_freq, c14)
    return string.format("tx %d Hz", hz)
  elseif (addr >= 2 and addr <= 8) or addr == 18 then
    local rx = addr == 18 and 8 or addr - 1
    t:add(f.receiver, tvb(c0_off, 1), rx):set_generated()
    local hz = freq_item(t, f.rx_freq, c14, " (receiver " .. rx .. ")")
    if rx > 3 then
      t:add_proto_expert_info(e.ignored, string.format(
        "C0 0x%02X: the radio ignores the frequency of receiver %d", c0, rx))
    end
    return string.format("rx%d %d Hz", rx, hz)
  elseif addr == 9 then
    t:add(f.drive, c1r)
    t:add(f.mic_boost, c2r)
    t:add(f.manual_filters, c2r)
    local a = t:add(f.alex_c3, c3r)
    a:add(f.high_pass, c3r)
    a:add(f.six_metres, c3r)
    a:add(f.relay_disable, c3r)
    t:add(f.low_pass, c4r)
    return string.format("drive %d", c1)
  elseif addr == 10 then
    t:add(f.rx_att, c4r)
    return string.format("rx att %d dB", band(c4, 0x1F))
  elseif addr == 11 then
    t:add(f.rx_att2, c1r)
    t:add(f.cw_reversed, c2r)
    t:add(f.cw_speed, c3r)
    t:add(f.cw_mode, c3r)
    t:add(f.cw_weight, c4r)
    t:add(f.cw_spacing, c4r)
    return string.format("keyer %d WPM mode %d", band(c3, 0x3F), rshift(c3, 6))
  elseif addr == 14 then
    t:add(f.tx_att, c3r)
    return string.format("tx att %d dB", band(c3, 0x1F))
  elseif addr == 15 then
    t:add(f.cw_internal, c1r)
    t:add(f.sidetone_level, c2r)
    t:add(f.cw_delay, c3r)
    return string.format("keyer %s, sidetone level %d", band(c1, 1) == 1 and "on" or "off", c2)
  elseif addr == 16 then
    local hang = bor(lshift(c1, 2), band(c2, 3))
    t:add(f.cw_hang, tvb(c0_off + 1, 2), hang)
    -- C4 is ORed in whole: its bits 4..7 fall on C3's bits 0..3.
    local tone = bor(lshift(c3, 4), c4)
    t:add(f.sidetone_freq, tvb(c0_off + 3, 2), tone)
    return string.format("hang %d ms, sidetone %d Hz", hang, tone)
  end
  t:add_proto_expert_info(e.ignored, string.format("C0 0x%02X: the radio ignores this word", c0))
  return string.format("0x%02X ignored", c0)
end

local function dissect_ep2(tvb, pinfo, root)
  local radio = endpoint(pinfo.dst, pinfo.dst_port)
  local client = endpoint(pinfo.src, pinfo.src_port)
  local seq = tvb(4, 4):uint()
  local fact = facts[pinfo.number]
  if fact == nil then
    fact = { seq = sequence_fact("EP2|" .. client .. "|" .. radio, seq) }
    local s = streams[radio]
    if s then
      local since = math.max(last_ep2[radio] or s.since, s.since)
      if pinfo.abs_ts - since > ep2_silence_limit and not silence_flagged[radio] then
        fact.silence = pinfo.abs_ts - since
      end
    end
    last_ep2[radio] = pinfo.abs_ts
    silence_flagged[radio] = nil
    facts[pinfo.number] = fact
  end
  local t = root:add(f.ep2, tvb())
  local seq_item = t:add(f.ep2_seq, tvb(4, 4))
  add_sequence(t, seq_item, fact.seq, "EP2")
  if fact.silence then
    seq_item:add_proto_expert_info(e.ep2_silence, string.format(
      "first EP2 frame after %.2f s without one while the radio streams", fact.silence))
  end
  local summaries = {}
  local mox = false
  for b = 1, 2 do
    local off = block_offsets[b]
    local bt = t:add(f.ep2_block, tvb(off, 512), b)
    bt:set_text("Block " .. b)
    local sync = bt:add(f.ep2_sync, tvb(off, 3))
    if tvb(off, 3):uint() ~= 0x7F7F7F then
      sync:add_proto_expert_info(e.no_sync, "block " .. b .. " without sync bytes 7F 7F 7F (the radio uses it anyway)")
    end
    local c0r = tvb(off + 3, 1)
    local c0 = c0r:uint()
    local ct = bt:add(f.ep2_c0, c0r)
    ct:add(f.ep2_mox, c0r)
    ct:add(f.ep2_address, c0r)
    bt:add(f.ep2_c1_c4, tvb(off + 4, 4))
    if band(c0, 1) == 1 then mox = true end
    local summary, receivers = decode_word(tvb, off + 3, bt)
    if receivers and fact.receivers_set == nil then fact.receivers_set = receivers end
    summaries[#summaries + 1] = summary
    bt:append_text(string.format(": C0 0x%02X, %s", c0, summary))
    -- 63 samples: left, right audio, then transmit I, Q (16-bit each).
    local s = tvb:raw(off + 8, payload_size)
    local iq, audio = 0, 0
    for k = 0, 62 do
      local i = 8 * k + 1
      audio = math.max(audio, math.abs(s16(s, i)), math.abs(s16(s, i + 2)))
      iq = math.max(iq, math.abs(s16(s, i + 4)), math.abs(s16(s, i + 6)))
    end
    bt:add(f.tx_peak, tvb(off + 8, payload_size), iq):append_text(" (" .. dbfs(iq, 32767) .. ")")
    bt:add(f.audio_peak, tvb(off + 8, payload_size), audio):append_text(" (" .. dbfs(audio, 32767) .. ")")
  end
  -- The receiver count the radio streams with from now on.
  if not pinfo.visited and fact.receivers_set then
    receivers_of[radio] = { n = fact.receivers_set, frame = pinfo.number }
  end
  local text = string.format("EP2 seq %d%s: %s", seq, mox and " MOX" or "", table.concat(summaries, "; "))
  t:set_text(text)
  pinfo.cols.info = text
end

-- ---- EP6 ----------------------------------------------------------------------

local function status_word(tvb, off, bt)
  local c0r = tvb(off + 3, 1)
  local c0 = c0r:uint()
  local ct = bt:add(f.ep6_c0, c0r)
  ct:add(f.ptt, c0r)
  ct:add(f.dash, c0r)
  ct:add(f.dot, c0r)
  ct:add(f.ep6_address, c0r)
  bt:add(f.ep6_c1_c4, tvb(off + 4, 4))
  local addr = rshift(c0, 3)
  local r12, r34 = tvb(off + 4, 2), tvb(off + 6, 2)
  local summary
  if addr == 0 then
    bt:add(f.adc_overload, tvb(off + 4, 1))
    bt:add(f.version_c2, tvb(off + 5, 1))
    bt:add(f.version_c3, tvb(off + 6, 1))
    bt:add(f.version_c4, tvb(off + 7, 1))
    summary = string.format("versions %02x %02x %02x", tvb(off + 5, 1):uint(), tvb(off + 6, 1):uint(),
      tvb(off + 7, 1):uint())
  elseif addr == 1 then
    bt:add(f.exciter_power, r12)
    bt:add(f.forward_power, r34)
    summary = "forward power " .. r34:uint()
  elseif addr == 2 then
    bt:add(f.reverse_power, r12)
    bt:add(f.aux_input, r34)
    summary = string.format("reverse power %d, aux %d", r12:uint(), r34:uint())
  elseif addr == 3 then
    bt:add(f.supply, r12)
    summary = "supply " .. r12:uint()
  else
    summary = string.format("address %d: %s", addr, tostring(tvb(off + 4, 4):bytes()))
  end
  local bits = {}
  if band(c0, 1) == 1 then bits[#bits + 1] = "PTT" end
  if band(c0, 2) == 2 then bits[#bits + 1] = "dash" end
  if band(c0, 4) == 4 then bits[#bits + 1] = "dot" end
  if #bits > 0 then summary = summary .. " (" .. table.concat(bits, ", ") .. ")" end
  return summary, band(c0, 7)
end

local function slots(tvb, off, bt, n)
  local slot = 6 * n + 2
  local per_block = math.floor(payload_size / slot)
  local layout = bt:add(f.ep6_receivers, tvb(off + 8, payload_size), n)
  layout:set_generated()
  bt:add(f.slot_size, tvb(off + 8, payload_size), slot):set_generated()
  bt:add(f.slots, tvb(off + 8, payload_size), per_block):set_generated()
  local s = tvb:raw(off + 8, payload_size)
  local peaks, mic = {}, 0
  for r = 1, n do peaks[r] = 0 end
  for k = 0, per_block - 1 do
    local base = k * slot + 1
    for r = 1, n do
      local p = base + 6 * (r - 1)
      peaks[r] = math.max(peaks[r], math.abs(s24(s, p)), math.abs(s24(s, p + 3)))
    end
    mic = math.max(mic, math.abs(s16(s, base + 6 * n)))
  end
  for r = 1, n do
    bt:add(f.rx_peak, tvb(off + 8, payload_size), peaks[r]):append_text(string.format(" (receiver %d, %s)",
      r, dbfs(peaks[r], 8388607)))
  end
  bt:add(f.mic_peak, tvb(off + 8, payload_size), mic):append_text(" (" .. dbfs(mic, 32767) .. ")")
end

local function dissect_ep6(tvb, pinfo, root)
  local radio = endpoint(pinfo.src, pinfo.src_port)
  local client = endpoint(pinfo.dst, pinfo.dst_port)
  local seq = tvb(4, 4):uint()
  local fact = facts[pinfo.number]
  if fact == nil then
    fact = { seq = sequence_fact("EP6|" .. radio .. "|" .. client, seq) }
    local s = streams[radio]
    if s and s.client == client and not silence_flagged[radio] then
      local since = math.max(last_ep2[radio] or s.since, s.since)
      if pinfo.abs_ts - since > ep2_silence_limit then
        fact.silence = pinfo.abs_ts - since
        silence_flagged[radio] = true
      end
    end
    local r = receivers_of[radio]
    if r then fact.receivers, fact.receivers_frame = r.n, r.frame end
    facts[pinfo.number] = fact
  end
  local t = root:add(f.ep6, tvb())
  local seq_item = t:add(f.ep6_seq, tvb(4, 4))
  add_sequence(t, seq_item, fact.seq, "EP6")
  if fact.silence then
    seq_item:add_proto_expert_info(e.ep2_silence, string.format(
      "no EP2 frame from the client for %.2f s while the radio streams", fact.silence))
  end
  local summaries = {}
  for b = 1, 2 do
    local off = block_offsets[b]
    local bt = t:add(f.ep6_block, tvb(off, 512), b)
    bt:set_text("Block " .. b)
    local sync = bt:add(f.ep6_sync, tvb(off, 3))
    if tvb(off, 3):uint() ~= 0x7F7F7F then
      sync:add_proto_expert_info(e.no_sync, "block " .. b .. " without sync bytes 7F 7F 7F")
    end
    local summary = status_word(tvb, off, bt)
    summaries[#summaries + 1] = summary
    bt:append_text(string.format(": C0 0x%02X, %s", tvb(off + 3, 1):uint(), summary))
    if fact.receivers then
      slots(tvb, off, bt, fact.receivers)
    end
  end
  if fact.receivers then
    t:add(f.ep6_receivers, tvb(), fact.receivers):append_text(
      string.format(" (set by the general word in frame %d)", fact.receivers_frame)):set_generated()
  else
    t:add(tvb(), "Receivers unknown: no general word to this radio seen yet, so the slots are not decoded")
  end
  local text = string.format("EP6 seq %d: %s", seq, table.concat(summaries, "; "))
  t:set_text(text)
  pinfo.cols.info = text
end

-- ---- entry ----------------------------------------------------------------------

-- Which kind a datagram is, or nil when it is no Protocol 1 datagram.
-- `strict` (the heuristic) also asks for the length each kind has.
local function classify(tvb, pinfo, strict)
  local n = tvb:len()
  if n < 4 or tvb(0, 2):uint() ~= 0xEFFE then return nil end
  local b2, b3 = tvb(2, 1):uint(), tvb(3, 1):uint()
  if b2 == 0x01 and (b3 == 0x02 or b3 == 0x06) then
    if strict and n ~= frame_size then return nil end
    return b3 == 0x02 and "ep2" or "ep6"
  end
  if b2 == 0x02 or b2 == 0x03 then
    local reply = from_radio(tvb, pinfo)
    if reply and (n >= 60 or not strict) then return "discovery" end
    -- A request (EF FE 02 00; other byte 3 values are not answered).
    if not reply and b2 == 0x02 and (b3 == 0x00 or not strict) then return "discovery" end
    if strict then return nil end
    return "other" -- EF FE 03 to the radio: a command it does not know
  end
  if b2 == 0x04 then
    if strict and b3 > 3 then return nil end
    return "command"
  end
  if strict then return nil end
  return "other"
end

local function dissect(tvb, pinfo, tree, kind)
  pinfo.cols.protocol = "HPSDR"
  local root = tree:add(hpsdr, tvb())
  if kind == "ep2" or kind == "ep6" then
    if tvb:len() < frame_size then
      root:add_proto_expert_info(e.short, string.format("%d bytes, not 1032", tvb:len()))
      pinfo.cols.info = string.format("%s frame, %d bytes (short)", kind:upper(), tvb:len())
      return tvb:len()
    end
    if kind == "ep2" then dissect_ep2(tvb, pinfo, root) else dissect_ep6(tvb, pinfo, root) end
  elseif kind == "discovery" then
    dissect_discovery(tvb, pinfo, root)
  elseif kind == "command" then
    dissect_command(tvb, pinfo, root)
  else
    local text = string.format("EF FE %02X %02X: not a datagram the radio accepts", tvb(2, 1):uint(),
      tvb(3, 1):uint())
    root:add_proto_expert_info(e.ignored, text)
    pinfo.cols.info = text
  end
  return tvb:len()
end

function hpsdr.dissector(tvb, pinfo, tree)
  local kind = classify(tvb, pinfo, false)
  if kind == nil then return 0 end
  return dissect(tvb, pinfo, tree, kind)
end

local function heuristic(tvb, pinfo, tree)
  local kind = classify(tvb, pinfo, true)
  if kind == nil then return false end
  dissect(tvb, pinfo, tree, kind)
  return true
end

DissectorTable.get("udp.port"):add(radio_port, hpsdr)
hpsdr:register_heuristic("udp", heuristic)
