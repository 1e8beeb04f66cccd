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

local kavrol = Proto("kavrol", "Kavrol32 serial line")

local DIRECT_START = 0x3C
local FIRST_DEVICE_ERROR = 247

local directions = { [0] = "unknown", [1] = "host to device", [2] = "device to host" }
local kinds = { [1] = "command", [2] = "reply", [3] = "cut frame", [4] = "noise" }

local device_errors = {}
for code = FIRST_DEVICE_ERROR, 255 do
    device_errors[code] = string.format("device error %d (library result %d, device-error)", code, code - 259)
end

local f = kavrol.fields
f.version = ProtoField.uint8("kavrol.version", "Pseudo-header version")
f.direction = ProtoField.uint8("kavrol.direction", "Direction", base.DEC, directions)
f.kind = ProtoField.uint8("kavrol.kind", "Found as", base.DEC, kinds)
f.flags = ProtoField.uint8("kavrol.flags", "Flags", base.HEX)
f.form = ProtoField.string("kavrol.command.form", "Form")
f.env_start = ProtoField.uint8("kavrol.envelope.start", "Envelope start byte", base.HEX)
f.env_last = ProtoField.uint8("kavrol.envelope.last_index", "Envelope last index")
f.env_checksum = ProtoField.uint8("kavrol.envelope.checksum", "Envelope checksum", base.HEX)
f.env_checksum_status = ProtoField.string("kavrol.envelope.checksum.status", "Envelope checksum status")
f.route_count = ProtoField.uint8("kavrol.route.count", "Route count")
f.route = ProtoField.uint8("kavrol.route.byte", "Route byte", base.HEX)
f.start = ProtoField.uint8("kavrol.start", "Start byte", base.HEX)
f.last = ProtoField.uint8("kavrol.last_index", "Last index (L)")
f.command = ProtoField.uint8("kavrol.command", "Command")
f.sub = ProtoField.uint8("kavrol.sub_command", "Sub-command")
f.checksum_odd = ProtoField.uint8("kavrol.checksum.odd", "Checksum O (odd positions)", base.HEX)
f.checksum_even = ProtoField.uint8("kavrol.checksum.even", "Checksum E (even positions)", base.HEX)
f.checksum_status = ProtoField.string("kavrol.checksum.status", "Checksum status")
f.word = ProtoField.uint16("kavrol.word", "Word", base.HEX)
f.raw = ProtoField.bytes("kavrol.raw", "Raw payload")
f.reply_code = ProtoField.uint8("kavrol.reply.code", "Reply code")
f.device_error = ProtoField.uint8("kavrol.reply.device_error", "Device error", base.DEC, device_errors)
f.header3 = ProtoField.uint8("kavrol.reply.r3", "Second header byte r[3]", base.HEX)
f.payload = ProtoField.bytes("kavrol.payload", "Payload")
f.unframed = ProtoField.bytes("kavrol.unframed", "Bytes")

local e_checksum = ProtoExpert.new("kavrol.checksum.bad", "Checksum mismatch", expert.group.CHECKSUM,
    expert.severity.ERROR)
local e_env_checksum = ProtoExpert.new("kavrol.envelope.checksum.bad", "Envelope checksum mismatch",
    expert.group.CHECKSUM, expert.severity.ERROR)
local e_device_error = ProtoExpert.new("kavrol.reply.device_error.reported", "Device error reply",
    expert.group.RESPONSE_CODE, expert.severity.WARN)
local e_unframed = ProtoExpert.new("kavrol.unframed.reported", "Bytes that form no complete frame",
    expert.group.MALFORMED, expert.severity.ERROR)
kavrol.experts = { e_checksum, e_env_checksum, e_device_error, e_unframed }

-- Wireshark's Lua is 5.2 (bit, bit32) in older releases and 5.4 (native ~) in newer ones.
local bxor = (bit and bit.bxor) or (bit32 and bit32.bxor) or load("return function(a, b) return a ~ b end")()

-- Two-byte checksum of frame[0..#frame-1] (a Lua table indexed from 0):
-- O over the odd positions, E over the even ones, positions 4 and 5 as 0.
local function two_byte_checksum(frame, count)
    local odd, even = 0, 0
    for i = 0, count - 1 do
        local b = (i == 4 or i == 5) and 0 or frame[i]
        if i % 2 == 0 then even = bxor(even, b) else odd = bxor(odd, b) end
    end
    return odd, even
end

-- One-byte checksum: XOR of every byte but position 2.
local function one_byte_checksum(frame, count)
    local x = 0
    for i = 0, count - 1 do
        if i ~= 2 then x = bxor(x, frame[i]) end
    end
    return x
end

local function bytes_of(tvb, offset, count, lead)
    local frame, n = {}, 0
    if lead then
        frame[0] = lead
        n = 1
    end
    for i = 0, count - 1 do
        frame[n] = tvb(offset + i, 1):uint()
        n = n + 1
    end
    return frame, n
end

-- Adds the checksum fields of a direct-style frame whose byte i is frame[i]
-- and lies in the packet at base_offset + i. Returns true when it holds.
local function add_checksum(tree, tvb, base_offset, frame, count)
    local odd, even = two_byte_checksum(frame, count)
    local got_odd, got_even = frame[4], frame[5]
    tree:add(f.checksum_odd, tvb(base_offset + 4, 1))
    tree:add(f.checksum_even, tvb(base_offset + 5, 1))
    local ok = got_odd == odd and got_even == even
    local verdict = ok and string.format("correct (%02X %02X)", odd, even)
        or string.format("incorrect: received %02X %02X, computed %02X %02X", got_odd, got_even, odd, even)
    local item = tree:add(f.checksum_status, tvb(base_offset + 4, 2), verdict)
    if not ok then item:add_proto_expert_info(e_checksum, "Checksum mismatch: " .. verdict) end
    return ok
end

local function add_payload(tree, tvb, offset, count, command)
    if count <= 0 then return end
    if command == 8 or command == 11 then
        tree:add(f.raw, tvb(offset, count))
        return
    end
    local words = tree:add(kavrol, tvb(offset, count), "Payload words (low byte first)")
    for i = 0, count - 2, 2 do words:add_le(f.word, tvb(offset + i, 2)) end
    if count % 2 == 1 then words:add(f.payload, tvb(offset + count - 1, 1)) end
end

-- A direct-style frame at packet offset `offset`; `sent_start` false when
-- its start byte is not in the packet. Returns command, checksum verdict.
local function dissect_inner(tree, tvb, offset, length, sent_start)
    local shift = sent_start and 0 or 1
    local frame, count
    if sent_start then
        frame, count = bytes_of(tvb, offset, length)
        tree:add(f.start, tvb(offset, 1))
    else
        frame, count = bytes_of(tvb, offset, length, DIRECT_START)
        tree:add(f.start, DIRECT_START):append_text(" (not sent, counted in the checksum)")
    end
    local base_offset = offset - shift
    tree:add(f.last, tvb(base_offset + 1, 1))
    tree:add(f.command, tvb(base_offset + 2, 1))
    tree:add(f.sub, tvb(base_offset + 3, 1))
    local ok = add_checksum(tree, tvb, base_offset, frame, count)
    add_payload(tree, tvb, base_offset + 6, count - 6, frame[2])
    return frame[2], frame[3], ok
end

local function dissect_command(tvb, pinfo, tree, offset, length, multiplexed)
    local t = tree:add(kavrol, tvb(offset, length), "Command")
    local command, sub, ok
    if multiplexed then
        t:add(f.form, "multiplexed")
        local frame, count = bytes_of(tvb, offset, length)
        t:add(f.env_start, tvb(offset, 1))
        t:add(f.env_last, tvb(offset + 1, 1))
        t:add(f.env_checksum, tvb(offset + 2, 1))
        local computed = one_byte_checksum(frame, count)
        local env_ok = computed == frame[2]
        local verdict = env_ok and string.format("correct (%02X)", computed)
            or string.format("incorrect: received %02X, computed %02X", frame[2], computed)
        local item = t:add(f.env_checksum_status, tvb(offset + 2, 1), verdict)
        if not env_ok then item:add_proto_expert_info(e_env_checksum, "Envelope checksum mismatch: " .. verdict) end
        local n = frame[3]
        local route = t:add(f.route_count, tvb(offset + 3, 1))
        local names = {}
        for i = 0, n - 1 do
            route:add(f.route, tvb(offset + 4 + i, 1))
            names[#names + 1] = string.format("%02X", frame[4 + i])
        end
        local inner = t:add(kavrol, tvb(offset + 4 + n, length - 4 - n), "Inner frame")
        command, sub, ok = dissect_inner(inner, tvb, offset + 4 + n, length - 4 - n, true)
        ok = ok and env_ok
        pinfo.cols.info:set(string.format("Command %d/%d via route %s", command, sub,
            #names > 0 and table.concat(names, ",") or "(empty)"))
    else
        t:add(f.form, "direct")
        command, sub, ok = dissect_inner(t, tvb, offset, length, false)
        pinfo.cols.info:set(string.format("Command %d/%d direct", command, sub))
    end
    t:append_text(string.format(": %d, sub-command %d", command, sub))
    if not ok then pinfo.cols.info:append(" [BAD CHECKSUM]") end
end

local function dissect_reply(tvb, pinfo, tree, offset, length)
    local t = tree:add(kavrol, tvb(offset, length), "Reply")
    local frame, count = bytes_of(tvb, offset, length)
    t:add(f.start, tvb(offset, 1))
    t:add(f.last, tvb(offset + 1, 1))
    local code = frame[2]
    t:add(f.reply_code, tvb(offset + 2, 1))
    if code >= FIRST_DEVICE_ERROR then
        t:add(f.device_error, tvb(offset + 2, 1)):add_proto_expert_info(e_device_error, device_errors[code])
    end
    t:add(f.header3, tvb(offset + 3, 1))
    local ok = add_checksum(t, tvb, offset, frame, count)
    if count > 6 then t:add(f.payload, tvb(offset + 6, count - 6)) end
    t:append_text(string.format(": code %d, L %d", code, frame[1]))
    pinfo.cols.info:set(code >= FIRST_DEVICE_ERROR and ("Reply " .. device_errors[code])
        or string.format("Reply code %d, %d payload bytes", code, count - 6))
    if not ok then pinfo.cols.info:append(" [BAD CHECKSUM]") end
end

function kavrol.dissector(tvb, pinfo, tree)
    if tvb:len() < 4 then return 0 end
    pinfo.cols.protocol:set("KAVROL")
    local root = tree:add(kavrol, tvb())
    root:add(f.version, tvb(0, 1))
    root:add(f.direction, tvb(1, 1))
    root:add(f.kind, tvb(2, 1))
    root:add(f.flags, tvb(3, 1))
    local kind = tvb(2, 1):uint()
    local length = tvb:len() - 4
    if kind == 1 and length >= 5 then
        dissect_command(tvb, pinfo, root, 4, length, tvb(3, 1):uint() % 2 == 1)
    elseif kind == 2 and length >= 6 then
        dissect_reply(tvb, pinfo, root, 4, length)
    elseif length > 0 then
        local what = kinds[kind] or "unknown"
        root:add(f.unframed, tvb(4, length)):add_proto_expert_info(e_unframed, what)
        pinfo.cols.info:set(string.format("%s, %d bytes", what, length))
    end
    return tvb:len()
end

DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, kavrol)
