-- Wireshark dissector for the Velantis game server's UDP packets.
--
-- Every message, in both directions, is one 1056-byte record, little-endian, sealed with an
-- FNV-1a 64 checksum of all its bytes (checksum field taken as 0). Clients send to UDP 15000 and
-- the server answers from it, so both directions are claimed by that port. Earlier servers answered
-- from a fresh ephemeral port for every packet; their replies, and packets of servers on other
-- ports, are found by a heuristic: exactly 1056 bytes whose checksum matches.
--
-- Load it with `wireshark -X lua_script:velantis.lua`, or copy it into a Lua plugin folder
-- (Help > About > Folders, or `tshark -G folders`).

local PACKET_SIZE = 1056
local SERVER_PORT = 15000
local MESSAGE_OFFSET = 40
local MESSAGE_SIZE = 1000

local velantis = Proto("velantis", "Velantis game protocol")

local message_types = {
    [1] = "Connect",
    [2] = "Welcome",
    [3] = "Disconnect",
    [5] = "PlayerPositionUpdate",
}

-- The status values Wireshark's own protocols use for their checksum status fields.
local CHECKSUM_BAD, CHECKSUM_GOOD, CHECKSUM_UNVERIFIED = 0, 1, 2
local checksum_status_names = {
    [CHECKSUM_BAD] = "Bad",
    [CHECKSUM_GOOD] = "Good",
    [CHECKSUM_UNVERIFIED] = "Unverified",
}

local f = {
    length = ProtoField.uint32("velantis.length", "Datagram length", base.DEC),
    initialized = ProtoField.uint8("velantis.initialized", "Initialized", base.DEC),
    gap1 = ProtoField.bytes("velantis.gap1", "Gap (offsets 1-7)"),
    checksum = ProtoField.uint64("velantis.checksum", "Checksum", base.HEX),
    checksum_calculated = ProtoField.uint64("velantis.checksum.calculated",
        "Calculated checksum", base.HEX),
    checksum_status = ProtoField.uint8("velantis.checksum.status", "Checksum status", base.DEC,
        checksum_status_names),
    client_id = ProtoField.uint64("velantis.client_id", "Client ID", base.DEC),
    type = ProtoField.uint8("velantis.type", "Message type", base.DEC, message_types),
    gap2 = ProtoField.bytes("velantis.gap2", "Gap (offsets 25-27)"),
    message_number = ProtoField.uint32("velantis.message_number", "Message number", base.DEC),
    position = ProtoField.bytes("velantis.position", "Position"),
    position_x = ProtoField.float("velantis.position.x", "X"),
    position_y = ProtoField.float("velantis.position.y", "Y"),
    message_field = ProtoField.bytes("velantis.message_field", "Message field"),
    message = ProtoField.string("velantis.message", "Text", base.UNICODE),
    message_length = ProtoField.uint16("velantis.message.length", "Text length", base.DEC),
    message_rest = ProtoField.bytes("velantis.message.rest", "After the terminator"),
    player_uuid = ProtoField.uint64("velantis.player_uuid", "Player UUID", base.DEC),
    entity_id = ProtoField.uint32("velantis.entity_id", "Entity ID", base.DEC),
    gap3 = ProtoField.bytes("velantis.gap3", "Gap (offsets 1052-1055)"),
    excess = ProtoField.bytes("velantis.excess", "Bytes beyond the packet"),
}
velantis.fields = {
    f.length, f.initialized, f.gap1, f.checksum, f.checksum_calculated, f.checksum_status,
    f.client_id, f.type, f.gap2, f.message_number, f.position, f.position_x, f.position_y,
    f.message_field, f.message, f.message_length, f.message_rest, f.player_uuid, f.entity_id,
    f.gap3, f.excess,
}

local e = {
    malformed = ProtoExpert.new("velantis.malformed", "Datagram is not a 1056-byte packet",
        expert.group.MALFORMED, expert.severity.ERROR),
    checksum_bad = ProtoExpert.new("velantis.checksum.bad", "Bad checksum",
        expert.group.CHECKSUM, expert.severity.ERROR),
    type_unknown = ProtoExpert.new("velantis.type.unknown", "Unknown message type",
        expert.group.UNDECODED, expert.severity.WARN),
    unterminated = ProtoExpert.new("velantis.message.unterminated",
        "Message text has no terminator within its 1000 bytes",
        expert.group.PROTOCOL, expert.severity.NOTE),
}
velantis.experts = { e.malformed, e.checksum_bad, e.type_unknown, e.unterminated }

velantis.prefs.heuristic = Pref.bool("Find packets on any UDP port", true,
    "Recognise 1056-byte UDP datagrams whose checksum matches on any port, so that the " ..
    "server's replies, sent from fresh ports, are decoded too")

-- FNV-1a 64 of the packet with its checksum field taken as 0, as two 32-bit halves. Lua 5.2
-- numbers are doubles, exact up to 2^53, so the 64-bit product is split: with
-- hash = hi * 2^32 + lo and the prime 2^40 + 0x1b3,
--   hash * prime = lo * 0x1b3 + (hi * 0x1b3 + lo * 2^8) * 2^32   (mod 2^64)
-- the new lo is the low half of lo * 0x1b3, whose carry joins the new hi; no partial sum reaches
-- 2^43. Wireshark's UInt64, which allocates an object for every operation, is six times slower.
-- Wireshark 4.0 to 4.2 run Lua 5.2 (bit32); later ones Lua 5.4, which has the ~ operator instead.
local bxor = bit32 and bit32.bxor or load("return function(a, b) return a ~ b end")()
local byte = string.byte
local function fnv1a64_halves(raw)
    local bytes = { byte(raw, 1, #raw) }
    for k = 9, 16 do bytes[k] = 0 end
    local lo, hi = 0x84222325, 0xcbf29ce4
    for k = 1, #bytes do
        lo = bxor(lo, bytes[k])
        local low_product = lo * 0x1b3
        local new_lo = low_product % 4294967296
        hi = (hi * 0x1b3 + (low_product - new_lo) / 4294967296 + lo * 256) % 4294967296
        lo = new_lo
    end
    return lo, hi
end

-- Whether the 1056 bytes carry a matching checksum, and the calculated value.
local function verify(tvb)
    local lo, hi = fnv1a64_halves(tvb:raw(0, PACKET_SIZE))
    local good = tvb(8, 4):le_uint() == lo and tvb(12, 4):le_uint() == hi
    return good, UInt64.new(lo, hi)
end

local function short_float(value)
    if value ~= value then return "nan" end
    if value == math.huge then return "inf" end
    if value == -math.huge then return "-inf" end
    return string.format("%g", value)
end

local function dissect(tvb, pinfo, tree, verified)
    local captured = tvb:len()
    local length = tvb:reported_len()
    local malformed = length ~= PACKET_SIZE
    local function has(offset, size) return offset + size <= captured end

    pinfo.cols.protocol = "Velantis"
    local root = tree:add(velantis, tvb(0, math.min(captured, PACKET_SIZE)))
    local length_item = root:add(f.length, length):set_generated()
    if malformed then
        length_item:add_proto_expert_info(e.malformed, string.format(
            "Datagram of %d bytes; a packet is exactly %d", length, PACKET_SIZE))
    end

    local flags = {}
    local type_text, client_text, number_text, player_text, entity_text, position_text

    if has(0, 1) then root:add(f.initialized, tvb(0, 1)) end
    if has(1, 7) then root:add(f.gap1, tvb(1, 7)) end

    if has(8, 8) then
        local item = root:add_le(f.checksum, tvb(8, 8))
        local status = CHECKSUM_UNVERIFIED
        local calculated
        if not malformed and captured >= PACKET_SIZE then
            local good = verified
            if good == nil then good, calculated = verify(tvb) end
            status = good and CHECKSUM_GOOD or CHECKSUM_BAD
            if calculated == nil then calculated = tvb(8, 8):le_uint64() end
            root:add(f.checksum_calculated, calculated):set_generated()
        end
        local status_item = root:add(f.checksum_status, status):set_generated()
        if status == CHECKSUM_BAD then
            local should = " [should be 0x" .. calculated:tohex() .. "]"
            item:append_text(" [incorrect]" .. should)
            status_item:add_proto_expert_info(e.checksum_bad, "Bad checksum" .. should)
            flags[#flags + 1] = "[BAD CHECKSUM]"
        elseif status == CHECKSUM_GOOD then
            item:append_text(" [correct]")
        end
    end

    if has(16, 8) then
        root:add_le(f.client_id, tvb(16, 8))
        client_text = "client=" .. tostring(tvb(16, 8):le_uint64())
    end
    if has(24, 1) then
        local message_type = tvb(24, 1):uint()
        local item = root:add(f.type, tvb(24, 1))
        type_text = message_types[message_type]
        if not type_text then
            type_text = string.format("Unknown(%d)", message_type)
            item:add_proto_expert_info(e.type_unknown,
                string.format("Unknown message type %d", message_type))
        end
    end
    if has(25, 3) then root:add(f.gap2, tvb(25, 3)) end
    if has(28, 4) then
        root:add_le(f.message_number, tvb(28, 4))
        number_text = string.format("#%d", tvb(28, 4):le_uint())
    end

    if has(32, 8) then
        local x, y = tvb(32, 4):le_float(), tvb(36, 4):le_float()
        local shown = "(" .. short_float(x) .. ", " .. short_float(y) .. ")"
        local position = root:add(f.position, tvb(32, 8))
        position:set_text("Position: " .. shown)
        position:add_le(f.position_x, tvb(32, 4))
        position:add_le(f.position_y, tvb(36, 4))
        position_text = "pos=" .. shown
    end

    local available = math.min(captured, MESSAGE_OFFSET + MESSAGE_SIZE) - MESSAGE_OFFSET
    if available > 0 then
        local field_range = tvb(MESSAGE_OFFSET, available)
        local field = root:add(f.message_field, field_range)
        local terminator = field_range:raw():find("\0", 1, true)
        local text_length = terminator and terminator - 1 or available
        local text_range = tvb(MESSAGE_OFFSET, text_length)
        local text_item = field:add_packet_field(f.message, text_range, ENC_UTF_8)
        field:add(f.message_length, text_length):set_generated()
        if terminator and terminator < available then
            field:add(f.message_rest, tvb(MESSAGE_OFFSET + terminator, available - terminator))
        end
        local shown = text_range:string(ENC_UTF_8):gsub("%c", function(c)
            return string.format("\\x%02x", c:byte())
        end)
        if #shown > 40 then
            -- Cut on a character boundary: drop a UTF-8 sequence the cut would split.
            shown = shown:sub(1, 37):gsub("[\192-\255][\128-\191]*$", "") .. "..."
        end
        field:set_text(string.format("Message: \"%s\" (%d bytes)", shown, text_length))
        if not terminator and available == MESSAGE_SIZE then
            text_item:add_proto_expert_info(e.unterminated)
            flags[#flags + 1] = "[NO TERMINATOR]"
        end
    end

    if has(1040, 8) then
        root:add_le(f.player_uuid, tvb(1040, 8))
        player_text = "player=" .. tostring(tvb(1040, 8):le_uint64())
    end
    if has(1048, 4) then
        root:add_le(f.entity_id, tvb(1048, 4))
        entity_text = string.format("entity=%d", tvb(1048, 4):le_uint())
    end
    if has(1052, 4) then root:add(f.gap3, tvb(1052, 4)) end
    if captured > PACKET_SIZE then
        root:add(f.excess, tvb(PACKET_SIZE, captured - PACKET_SIZE))
    end

    local info = {}
    if malformed then
        info[1] = string.format("%d bytes", length)
        table.insert(flags, 1, "[MALFORMED]")
    end
    for _, text in ipairs({ type_text or false, client_text or false, player_text or false,
        entity_text or false, number_text or false, position_text or false }) do
        if text then info[#info + 1] = text end
    end
    for _, flag in ipairs(flags) do info[#info + 1] = flag end
    local summary = table.concat(info, " ")
    pinfo.cols.info = summary
    root:append_text(", " .. summary)
    return captured
end

function velantis.dissector(tvb, pinfo, tree)
    return dissect(tvb, pinfo, tree, nil)
end

local function heuristic(tvb, pinfo, tree)
    if not velantis.prefs.heuristic then return false end
    if tvb:reported_len() ~= PACKET_SIZE or tvb:len() ~= PACKET_SIZE then return false end
    local good = verify(tvb)
    if not good then return false end
    dissect(tvb, pinfo, tree, true)
    return true
end

DissectorTable.get("udp.port"):add(SERVER_PORT, velantis)
velantis:register_heuristic("udp", heuristic)

-- UDP hands no empty payload to a port's dissector, yet an empty datagram to or from the
-- server's port is as malformed as a short one: a post-dissector marks it.
local empty = Proto("velantis_empty", "Velantis empty datagram")
local udp_length = Field.new("udp.length")
local udp_srcport = Field.new("udp.srcport")
local udp_dstport = Field.new("udp.dstport")

function empty.dissector(tvb, pinfo, tree)
    local length = udp_length()
    if not length or length.value ~= 8 then return end
    local src, dst = udp_srcport(), udp_dstport()
    if not src or not dst or (src.value ~= SERVER_PORT and dst.value ~= SERVER_PORT) then
        return
    end
    dissect(tvb(0, 0):tvb(), pinfo, tree, nil)
end

register_postdissector(empty)
