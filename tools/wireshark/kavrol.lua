-- Wireshark dissector for Kavrol32 line captures: the pcap files that
-- `kavrol monitor --pcap` and `kavrol decode --pcap` write (link type
-- DLT_USER0, one packet per frame).
--
--   wireshark -X lua_script:tools/wireshark/kavrol.lua capture.pcap
--   tshark -X lua_script:tools/wireshark/kavrol.lua -r capture.pcap -V
--
-- Each packet starts with a 4-byte pseudo-header (version 1, direction,
-- what the capturing tool found, flags) followed by the bytes as they were
-- on the line. A direct command frame travels without its start byte 3C;
-- its checksum counts that byte all the same.
--
-- The frame limits come from kavrol_protocol.lua beside this file, which
-- the library's build generates. Frames are judged as the library and the
-- tools judge them, in the same order: the length byte, then whether the
-- frame is whole, then the envelope's structure, then the checksums, and
-- only then a reply's device error code. Checksums cover f[0..L], never
-- the bytes past it. A malformed packet is marked, never a Lua error.

local function script_dir()
    local source = debug.getinfo(1, "S").source
    return source:sub(1, 1) == "@" and (source:sub(2):match("^(.*)[/\\]") or ".") or "."
end
local P = dofile(script_dir() .. "/kavrol_protocol.lua")
local FRAME = P.frame

local kavrol = Proto("kavrol", "Kavrol32 serial line")

local directions = { [0] = "unknown", [1] = "host to device", [2] = "device to host" }
local kinds = { [1] = "command", [2] = "reply", [3] = "cut frame", [4] = "noise", [5] = "bad frame", [6] = "note" }
local checksum_states = { [0] = "Bad", [1] = "Good" }
local CHECKSUM_BAD, CHECKSUM_GOOD = 0, 1

local result_names, results = {}, {}
for _, r in ipairs(P.results) do
    result_names[r.value] = r.name
    results[r.name] = r.value
end

local device_errors = {}
for code = FRAME.first_device_error, 255 do
    local result = code - FRAME.device_error_bias
    device_errors[code] = string.format("device error %d (library result %d, %s)", code, result, result_names[result])
end

local raw_commands = {}
for _, c in ipairs(FRAME.raw_commands) do raw_commands[c] = true end

local f = kavrol.fields
f.version = ProtoField.uint8("kavrol.version", "Pseudo-header version")
f.direction = ProtoField.uint8("kavrol.direction", "Direction", base.DEC, directions)
f.kind = ProtoField.uint8("kavrol.kind", "Found as", base.DEC, kinds)
f.flags = ProtoField.uint8("kavrol.flags", "Flags", base.HEX)
f.flag_envelope = ProtoField.bool("kavrol.flags.envelope", "Multiplexer envelope", 8, nil, 0x01)
f.fault = ProtoField.string("kavrol.fault", "Fault")
f.form = ProtoField.string("kavrol.command.form", "Form")
f.env_start = ProtoField.uint8("kavrol.envelope.start", "Envelope start byte", base.HEX)
f.env_last = ProtoField.uint8("kavrol.envelope.last_index", "Envelope last index")
f.env_checksum = ProtoField.uint8("kavrol.envelope.checksum", "Envelope checksum", base.HEX)
f.env_checksum_status = ProtoField.uint8("kavrol.envelope.checksum.status", "Envelope checksum status", base.DEC,
    checksum_states)
f.route_count = ProtoField.uint8("kavrol.route.count", "Route count")
f.route = ProtoField.uint8("kavrol.route.byte", "Route byte", base.HEX)
f.start = ProtoField.uint8("kavrol.start", "Start byte", base.HEX)
f.last = ProtoField.uint8("kavrol.last_index", "Last index (L)")
f.command = ProtoField.uint8("kavrol.command", "Command")
f.sub = ProtoField.uint8("kavrol.sub_command", "Sub-command")
f.checksum_odd = ProtoField.uint8("kavrol.checksum.odd", "Checksum O (odd positions)", base.HEX)
f.checksum_even = ProtoField.uint8("kavrol.checksum.even", "Checksum E (even positions)", base.HEX)
f.checksum_status = ProtoField.uint8("kavrol.checksum.status", "Checksum status", base.DEC, checksum_states)
f.word = ProtoField.uint16("kavrol.word", "Word", base.HEX)
f.raw = ProtoField.bytes("kavrol.raw", "Raw payload")
f.reply_code = ProtoField.uint8("kavrol.reply.code", "Reply code")
f.device_error = ProtoField.uint8("kavrol.reply.device_error", "Device error", base.DEC, device_errors)
f.status = ProtoField.int32("kavrol.reply.status", "Library result", base.DEC, result_names)
f.header3 = ProtoField.uint8("kavrol.reply.r3", "Second header byte r[3]", base.HEX)
f.payload = ProtoField.bytes("kavrol.payload", "Payload")
f.trailing = ProtoField.bytes("kavrol.trailing", "Bytes after the frame")
f.unframed = ProtoField.bytes("kavrol.unframed", "Bytes")
-- What the monitor noted on the line (a reply missing, a stall), as text.
f.note = ProtoField.string("kavrol.note", "Note")

-- The expert items: filter name, text, group, severity.
local function expert_item(abbr, text, group, severity)
    return ProtoExpert.new("kavrol." .. abbr, text, expert.group[group], expert.severity[severity])
end
local e_checksum = expert_item("checksum.bad", "Checksum mismatch", "CHECKSUM", "ERROR")
local e_env_checksum = expert_item("envelope.checksum.bad", "Envelope checksum mismatch", "CHECKSUM", "ERROR")
local e_device_error = expert_item("reply.device_error.reported", "Device error reply", "RESPONSE_CODE", "WARN")
local e_cut = expert_item("cut", "Frame cut short", "MALFORMED", "ERROR")
local e_malformed = expert_item("malformed", "Malformed frame", "MALFORMED", "ERROR")
local e_trailing = expert_item("trailing.reported", "Bytes after the frame's last index", "MALFORMED", "WARN")
local e_unframed = expert_item("unframed.reported", "Bytes that form no complete frame", "MALFORMED", "ERROR")
kavrol.experts = { e_checksum, e_env_checksum, e_device_error, e_cut, e_malformed, e_trailing, e_unframed }

-- Wireshark's Lua is 5.2 (bit, bit32) in older releases and 5.4 (native ~) in newer ones.
local bxor = (bit and bit.bxor) or (bit32 and bit32.bxor) or load("return function(a, b) return a ~ b end")()

-- The dissector's own checksums (Lua cannot call the library; tools_dissector_test
-- holds them to it). Two-byte checksum of frame[0..last] (a table indexed from 0): O over the
-- odd positions, E over the even ones, the checksum positions as 0.
local function two_byte_checksum(frame, last)
    local odd, even = 0, 0
    for i = 0, last do
        local b = (i == FRAME.two_byte_odd_at or i == FRAME.two_byte_even_at) and 0 or frame[i]
        if i % 2 == 0 then even = bxor(even, b) else odd = bxor(odd, b) end
    end
    return odd, even
end

-- One-byte checksum: XOR of frame[0..last] but its own position.
local function one_byte_checksum(frame, last)
    local x = 0
    for i = 0, last do
        if i ~= FRAME.one_byte_at then x = bxor(x, frame[i]) end
    end
    return x
end

-- The judgement of a command as it is sent (the bytes b[0..n-1]): the
-- fault's name and, where the frame holds, its fields. `inner` is the
-- direct-style frame with its start byte, `inner_at` where its byte 0 lies
-- in b (-1: the start byte was not sent).
local function judge_command(b, n, multiplexed)
    local j = { multiplexed = multiplexed, length = 0 }
    if not multiplexed then
        if n == 0 then j.fault = "cut"; return j end
        j.last = b[0]
        if j.last < FRAME.min_frame_index or j.last > FRAME.max_command_index then
            j.fault = "length-out-of-range"; return j
        end
        j.length = j.last
        if n < j.length then j.fault = "cut"; return j end
        j.inner = { [0] = FRAME.direct_start }
        for i = 0, j.last - 1 do j.inner[i + 1] = b[i] end
        j.inner_at = -1
    else
        if n == 0 then j.fault = "cut"; return j end
        if b[0] ~= FRAME.envelope_start then j.fault = "not-this-form"; return j end
        if n < 2 then j.fault = "cut"; return j end
        j.last = b[1]
        if j.last < FRAME.min_envelope_index or j.last > FRAME.max_command_index then
            j.fault = "length-out-of-range"; return j
        end
        j.length = j.last + 1
        if n < j.length then j.fault = "cut"; return j end
        local r = b[3]
        local header = FRAME.envelope_header_size
        if r > P.sizes.max_route or header + r + FRAME.min_frame_index > j.last then
            j.fault = "route-out-of-range"; return j
        end
        j.inner_at = header + r
        if b[j.inner_at] ~= FRAME.direct_start then j.fault = "inner-start-wrong"; return j end
        if b[j.inner_at + 1] + 1 ~= j.length - j.inner_at then j.fault = "inner-length-wrong"; return j end
        j.route = r
        j.inner = {}
        for i = 0, j.length - 1 - j.inner_at do j.inner[i] = b[j.inner_at + i] end
        j.env_computed = one_byte_checksum(b, j.last)
        j.env_ok = j.env_computed == b[FRAME.one_byte_at]
    end
    local inner_last = j.inner[1]
    j.odd, j.even = two_byte_checksum(j.inner, inner_last)
    j.ok = j.odd == j.inner[FRAME.two_byte_odd_at] and j.even == j.inner[FRAME.two_byte_even_at]
    if multiplexed and not j.env_ok then
        j.fault = "envelope-checksum-mismatch"
    elseif not j.ok then
        j.fault = "checksum-mismatch"
    else
        j.fault = "none"
    end
    return j
end

-- The judgement of the bytes a host reader takes as a reply.
local function judge_reply(b, n)
    local j = { length = 0 }
    if n < 2 then
        j.fault = n == 0 and "no-reply" or "header-cut"
        j.status = results["timeout"]
        return j
    end
    j.last = b[1]
    if j.last > FRAME.max_reply_index or j.last < FRAME.min_frame_index then
        j.fault = j.last > FRAME.max_reply_index and "length-above-range" or "length-below-range"
        j.status = results["frame-error"]
        return j
    end
    j.length = j.last + 1
    if n < j.length then j.fault = "cut"; j.status = results["timeout"]; return j end
    j.odd, j.even = two_byte_checksum(b, j.last)
    j.ok = j.odd == b[FRAME.two_byte_odd_at] and j.even == b[FRAME.two_byte_even_at]
    j.code = b[2]
    if not j.ok then
        j.fault, j.status = "checksum-mismatch", results["frame-error"]
    elseif j.code >= FRAME.first_device_error then
        j.fault, j.status = "device-error", j.code - FRAME.device_error_bias
    else
        j.fault, j.status = "none", results["ok"]
    end
    return j
end

local function bytes_of(tvb, offset, count)
    local b = {}
    for i = 0, count - 1 do b[i] = tvb(offset + i, 1):uint() end
    return b
end

-- Adds the checksum fields of a direct-style frame whose byte 4 lies at
-- packet offset `at4`; the verdict goes into the status field and, when
-- bad, an expert item.
local function add_checksum(tree, tvb, at4, received_odd, received_even, odd, even, ok)
    tree:add(f.checksum_odd, tvb(at4, 1))
    tree:add(f.checksum_even, tvb(at4 + 1, 1))
    local item = tree:add(f.checksum_status, tvb(at4, 2), ok and CHECKSUM_GOOD or CHECKSUM_BAD)
    if ok then
        item:append_text(string.format(" (%02X %02X)", odd, even))
    else
        local text = string.format("received %02X %02X, computed %02X %02X", received_odd, received_even, odd, even)
        item:append_text(" (" .. text .. ")")
        item:add_proto_expert_info(e_checksum, "Checksum mismatch: " .. text)
    end
end

local function add_payload(tree, tvb, offset, count, command)
    if count <= 0 then return end
    tree:add(f.payload, tvb(offset, count))
    if raw_commands[command] then
        tree:add(f.raw, tvb(offset, count))
        return
    end
    local words = tree:add(kavrol, tvb(offset, count), "Payload words (low byte first)")
    for i = 0, count - 2, 2 do words:add_le(f.word, tvb(offset + i, 2)) end
end

-- Marks what cannot be a whole frame.
local function add_unframed(tree, pinfo, tvb, offset, n, expert_item, text)
    if n > 0 then
        tree:add(f.unframed, tvb(offset, n)):add_proto_expert_info(expert_item, text)
    else
        tree:add_proto_expert_info(expert_item, text)
    end
    pinfo.cols.info:append(" [" .. text .. "]")
end

local function add_trailing(tree, tvb, offset, length, n)
    if n > length then
        tree:add(f.trailing, tvb(offset + length, n - length)):add_proto_expert_info(e_trailing)
    end
end

local function dissect_command(tvb, pinfo, tree, offset, n, multiplexed)
    local b = bytes_of(tvb, offset, n)
    local j = judge_command(b, n, multiplexed)
    local t = tree:add(kavrol, tvb(offset, n), "Command")
    t:add(f.fault, j.fault)
    t:add(f.form, multiplexed and "multiplexed" or "direct")
    pinfo.cols.info:set(multiplexed and "Command (multiplexed)" or "Command (direct)")
    if j.inner == nil then
        if j.fault == "cut" then
            add_unframed(t, pinfo, tvb, offset, n, e_cut,
                string.format("cut: %d of %d bytes", n, j.length > 0 and j.length or (multiplexed and 2 or 1)))
        else
            add_unframed(t, pinfo, tvb, offset, n, e_malformed, j.fault)
        end
        return
    end
    -- Packet offset of the inner frame's byte 0 (one before the packet for
    -- a direct frame, whose start byte was not sent).
    local base = offset + j.inner_at
    if multiplexed then
        t:add(f.env_start, tvb(offset, 1))
        t:add(f.env_last, tvb(offset + 1, 1))
        t:add(f.env_checksum, tvb(offset + FRAME.one_byte_at, 1))
        local item = t:add(f.env_checksum_status, tvb(offset + FRAME.one_byte_at, 1),
            j.env_ok and CHECKSUM_GOOD or CHECKSUM_BAD)
        if not j.env_ok then
            local text = string.format("received %02X, computed %02X", b[FRAME.one_byte_at], j.env_computed)
            item:append_text(" (" .. text .. ")")
            item:add_proto_expert_info(e_env_checksum, "Envelope checksum mismatch: " .. text)
        end
        local route = t:add(f.route_count, tvb(offset + 3, 1))
        local names = {}
        for i = 0, j.route - 1 do
            route:add(f.route, tvb(offset + FRAME.envelope_header_size + i, 1))
            names[#names + 1] = string.format("%02X", b[FRAME.envelope_header_size + i])
        end
        local inner = t:add(kavrol, tvb(base, j.length - j.inner_at), "Inner frame")
        inner:add(f.start, tvb(base, 1))
        t = inner
        pinfo.cols.info:set(string.format("Command %d/%d via route %s", j.inner[2], j.inner[3],
            #names > 0 and table.concat(names, ",") or "(empty)"))
    else
        t:add(f.start, FRAME.direct_start):append_text(" (not sent, counted in the checksum)")
        pinfo.cols.info:set(string.format("Command %d/%d direct", j.inner[2], j.inner[3]))
    end
    t:add(f.last, tvb(base + 1, 1))
    t:add(f.command, tvb(base + 2, 1))
    t:add(f.sub, tvb(base + 3, 1))
    add_checksum(t, tvb, base + FRAME.two_byte_odd_at, j.inner[FRAME.two_byte_odd_at],
        j.inner[FRAME.two_byte_even_at], j.odd, j.even, j.ok)
    local inner_last = j.inner[1]
    add_payload(t, tvb, base + FRAME.inner_header_size, inner_last + 1 - FRAME.inner_header_size, j.inner[2])
    add_trailing(tree, tvb, offset, j.length, n)
    if j.fault ~= "none" then pinfo.cols.info:append(" [BAD CHECKSUM]") end
end

local function dissect_reply(tvb, pinfo, tree, offset, n)
    local b = bytes_of(tvb, offset, n)
    local j = judge_reply(b, n)
    local t = tree:add(kavrol, tvb(offset, n), "Reply")
    t:add(f.fault, j.fault)
    t:add(f.status, j.status)
    pinfo.cols.info:set("Reply")
    if n >= 1 then t:add(f.start, tvb(offset, 1)) end
    if n >= 2 then t:add(f.last, tvb(offset + 1, 1)) end
    if j.code == nil then
        if j.fault == "cut" or j.fault == "header-cut" or j.fault == "no-reply" then
            add_unframed(t, pinfo, tvb, offset, n, e_cut,
                string.format("cut: %d of %d bytes", n, j.length > 0 and j.length or 2))
        else
            add_unframed(t, pinfo, tvb, offset, n, e_malformed, j.fault)
        end
        return
    end
    t:add(f.reply_code, tvb(offset + 2, 1))
    t:add(f.header3, tvb(offset + 3, 1))
    add_checksum(t, tvb, offset + FRAME.two_byte_odd_at, b[FRAME.two_byte_odd_at], b[FRAME.two_byte_even_at],
        j.odd, j.even, j.ok)
    local payload = j.last + 1 - FRAME.reply_payload_start
    if payload > 0 then t:add(f.payload, tvb(offset + FRAME.reply_payload_start, payload)) end
    add_trailing(tree, tvb, offset, j.length, n)
    t:append_text(string.format(": code %d, L %d", j.code, j.last))
    -- A device error counts only in a frame whose checksum holds.
    if j.fault == "device-error" then
        t:add(f.device_error, tvb(offset + 2, 1)):add_proto_expert_info(e_device_error, device_errors[j.code])
        pinfo.cols.info:set("Reply " .. device_errors[j.code])
    else
        pinfo.cols.info:set(string.format("Reply code %d, %d payload byte%s", j.code, payload,
            payload == 1 and "" or "s"))
    end
    if not j.ok then pinfo.cols.info:append(string.format(" [BAD CHECKSUM, library result %d]", j.status)) end
end

local function dissect(tvb, pinfo, tree)
    pinfo.cols.protocol:set("KAVROL")
    local root = tree:add(kavrol, tvb())
    root:add(f.version, tvb(0, 1))
    root:add(f.direction, tvb(1, 1))
    root:add(f.kind, tvb(2, 1))
    root:add(f.flags, tvb(3, 1)):add(f.flag_envelope, tvb(3, 1))
    local direction, kind = tvb(1, 1):uint(), tvb(2, 1):uint()
    local multiplexed = tvb(3, 1):uint() % 2 == 1
    local n = tvb:len() - 4
    -- A cut or bad frame is judged by the side that sent it, when known.
    local command = kind == 1 or ((kind == 3 or kind == 5) and direction == 1)
    local reply = kind == 2 or ((kind == 3 or kind == 5) and direction == 2)
    if command then
        dissect_command(tvb, pinfo, root, 4, n, multiplexed)
    elseif reply then
        dissect_reply(tvb, pinfo, root, 4, n)
    elseif kind == 6 then
        local text = n > 0 and tvb(4, n):string() or ""
        root:add(f.note, n > 0 and tvb(4, n) or tvb(2, 1), text)
        pinfo.cols.info:set("Note: " .. text)
    elseif n > 0 then
        local what = kinds[kind] or "unknown"
        root:add(f.unframed, tvb(4, n)):add_proto_expert_info(e_unframed, what)
        pinfo.cols.info:set(string.format("%s, %d bytes", what, n))
    end
end

function kavrol.dissector(tvb, pinfo, tree)
    if tvb:len() < 4 then
        tree:add(kavrol, tvb()):add_proto_expert_info(e_malformed, "packet shorter than its pseudo-header")
        return tvb:len()
    end
    -- Whatever a hostile packet holds, it ends as a marked packet.
    local ok, message = pcall(dissect, tvb, pinfo, tree)
    if not ok then tree:add(kavrol, tvb()):add_proto_expert_info(e_malformed, "not dissected: " .. tostring(message)) end
    return tvb:len()
end

DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, kavrol)
