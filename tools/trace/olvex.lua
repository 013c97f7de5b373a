-- Wireshark dissector for Olvexlib traces: pcap files of link type USER0
-- (147) that the tracer (bin/trace/Olvexlib.dll) writes with OLVEX_TRACE, one
-- record per library call. docs/trace.md describes the record.
--
--   wireshark -X lua_script:olvex.lua trace.pcap
--   tshark -X lua_script:olvex.lua -r trace.pcap -Y 'olvex.status != 0x9000'
--
-- or copy this file into Wireshark's personal plugins folder.

local olvex = Proto("olvex", "Olvexlib call")

local calls = { [1] = "EnumDEV", [2] = "Connect", [3] = "DoCommand", [4] = "Disconnect" }

local f = {
    version = ProtoField.uint8("olvex.version", "Record version"),
    call = ProtoField.uint8("olvex.call", "Call", base.DEC, calls),
    flags = ProtoField.uint16("olvex.flags", "Flags", base.HEX),
    redacted = ProtoField.bool("olvex.redacted", "Redacted", 16, nil, 0x0001),
    refused = ProtoField.bool("olvex.refused", "Arguments refused (nothing sent)", 16, nil, 0x0002),
    result = ProtoField.int32("olvex.result", "Result"),
    status = ProtoField.uint16("olvex.status", "Status word", base.HEX),
    error = ProtoField.uint32("olvex.error", "Last error"),
    pid = ProtoField.uint32("olvex.pid", "Process id"),
    tid = ProtoField.uint32("olvex.tid", "Thread id"),
    duration = ProtoField.uint32("olvex.duration", "Duration (microseconds)"),
    count = ProtoField.int32("olvex.count", "Keys listed"),
    index = ProtoField.int32("olvex.index", "Key index"),
    argument = ProtoField.int32("olvex.argument", "Command length passed"),
    connection = ProtoField.uint64("olvex.connection", "Connection", base.HEX),
    path = ProtoField.string("olvex.path", "Key path"),
    command_frame = ProtoField.uint32("olvex.command.frame_length", "Command frame length"),
    command_lead = ProtoField.uint8("olvex.command.lead", "Lead byte", base.HEX),
    command_length = ProtoField.uint16("olvex.command.length", "Length"),
    command = ProtoField.bytes("olvex.command", "Command payload"),
    response_frame = ProtoField.uint32("olvex.response.frame_length", "Response frame length"),
    response_lead = ProtoField.uint8("olvex.response.lead", "Lead byte", base.HEX),
    response_length = ProtoField.uint16("olvex.response.length", "Length"),
    body = ProtoField.bytes("olvex.body", "Response body"),
    sw = ProtoField.uint16("olvex.response.sw", "Status word in the frame", base.HEX),
}
olvex.fields = f

local cut = ProtoExpert.new("olvex.cut", "Frame kept only in part (redacted or cut short)", expert.group.UNDECODED,
    expert.severity.NOTE)
local malformed = ProtoExpert.new("olvex.malformed", "Record shorter than its lengths say", expert.group.MALFORMED,
    expert.severity.ERROR)
olvex.experts = { cut, malformed }

olvex.prefs.apdu = Pref.bool("Dissect payloads as ISO 7816 APDUs", false,
    "Hand command payloads and response bodies (with their status word) to the ISO 7816 dissector")

local iso7816 = Dissector.get("iso7816")

-- One frame: lead byte, 16-bit little-endian length, then the payload (and,
-- for a response, the status word). Only `kept` of its `length` bytes are here.
local function frame(tree, range, length, label, fields, payload, direction, pinfo, root)
    local t = tree:add(range, label)
    t:add_le(fields.frame, length):set_generated()
    local kept = range:len()
    if kept < length then t:add_proto_expert_info(cut) end
    if kept >= 1 then t:add(fields.lead, range(0, 1)) end
    if kept >= 3 then t:add_le(fields.length, range(1, 2)) end
    local size = kept - 3
    if direction == P2P_DIR_RECV and kept == length then size = kept - 5 end
    if size > 0 then t:add(payload, range(3, size)) end
    if direction == P2P_DIR_RECV and kept == length and kept >= 5 then t:add(f.sw, range(kept - 2, 2)) end
    if olvex.prefs.apdu and iso7816 and kept == length and kept > 3 then
        pinfo.p2p_dir = direction
        -- A payload that is no APDU must not end the record's own dissection.
        pcall(Dissector.call, iso7816, range(3):tvb(), pinfo, root)
    end
end

function olvex.dissector(buffer, pinfo, root)
    if buffer:len() < 56 then return 0 end
    pinfo.cols.protocol = "OLVEX"
    local tree = root:add(olvex, buffer())
    local call = buffer(1, 1):uint()
    local flags = buffer(4, 2):le_uint()
    local pathLength = buffer(6, 2):le_uint()
    local result = buffer(8, 4):le_int()
    local commandLength, commandKept = buffer(40, 4):le_uint(), buffer(44, 4):le_uint()
    local responseLength, responseKept = buffer(48, 4):le_uint(), buffer(52, 4):le_uint()
    tree:add(f.version, buffer(0, 1))
    tree:add(f.call, buffer(1, 1))
    local flagTree = tree:add_le(f.flags, buffer(4, 2))
    flagTree:add_le(f.redacted, buffer(4, 2))
    flagTree:add_le(f.refused, buffer(4, 2))
    tree:add_le(f.result, buffer(8, 4))
    if call == 3 and result >= 0 then tree:add(f.status, result):set_generated() end
    tree:add_le(f.error, buffer(12, 4))
    tree:add_le(f.pid, buffer(16, 4))
    tree:add_le(f.tid, buffer(20, 4))
    tree:add_le(f.duration, buffer(24, 4))
    local argument = ({ [1] = f.count, [2] = f.index, [3] = f.argument })[call]
    if argument then tree:add_le(argument, buffer(28, 4)) end
    tree:add_le(f.connection, buffer(32, 8))
    if 56 + pathLength + commandKept + responseKept > buffer:len() then
        tree:add_proto_expert_info(malformed)
        return buffer:len()
    end
    local path = ""
    if pathLength > 0 then
        tree:add(f.path, buffer(56, pathLength))
        path = buffer(56, pathLength):string()
    end
    local at = 56 + pathLength
    if commandKept > 0 then
        frame(tree, buffer(at, commandKept), commandLength, "Command frame",
            { frame = f.command_frame, lead = f.command_lead, length = f.command_length }, f.command, P2P_DIR_SENT,
            pinfo, root)
    end
    at = at + commandKept
    if responseKept > 0 then
        frame(tree, buffer(at, responseKept), responseLength, "Response frame",
            { frame = f.response_frame, lead = f.response_lead, length = f.response_length }, f.body, P2P_DIR_RECV,
            pinfo, root)
    end

    local outcome
    if call == 3 and result >= 0 then
        outcome = string.format("status %04x", result)
    else
        outcome = string.format("result %d, error %d", result, buffer(12, 4):le_uint())
    end
    local info = (calls[call] or "?") .. " " .. outcome
    if path ~= "" then info = info .. " " .. path end
    if flags % 2 == 1 then info = info .. " [redacted]" end
    pinfo.cols.info = info
    tree:append_text(", " .. info)
    return buffer:len()
end

DissectorTable.get("wtap_encap"):add(wtap.USER0, olvex)
