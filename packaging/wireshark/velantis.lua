-- Wireshark dissector for the Velantis game server's UDP packets.
--
-- Every message, in both directions, is one 1056-byte record, little-endian, sealed with an
-- FNV-1a 64 checksum of all its bytes (checksum field taken as 0); the one exception is the
-- snapshot, a shorter datagram of type 6 that the server sends to players who asked for it, sealed
-- the same way over its own length. Clients send to UDP 15000 and the server answers from it, so
-- both directions are claimed by that port. Earlier servers answered from a fresh ephemeral port
-- for every packet; their replies, and datagrams of servers on other ports, are found by a
-- heuristic: exactly 1056 bytes, or a snapshot as long as its entry count makes it, whose checksum
-- matches.
--
-- Load it with `wireshark -X lua_script:velantis.lua`, or copy it into a Lua plugin folder
-- (Help > About > Folders, or `tshark -G folders`).

local PACKET_SIZE = 1056
local SERVER_PORT = 15000
local MESSAGE_OFFSET = 40
local MESSAGE_SIZE = 1000
local SNAPSHOT_TYPE = 6
-- A snapshot: the packet's first 32 bytes, tick, count, part and parts, `count` entries, and last
-- ack and ack bits.
local ENTRIES_OFFSET = 40
local ENTRY_SIZE = 20
local ACK_SIZE = 8
local SNAPSHOT_MIN = ENTRIES_OFFSET + ACK_SIZE
-- The last four bytes of a Connect that asks for snapshots, and of the Welcome that grants them.
local CAPABILITY = "SNP1"

local velantis = Proto("velantis", "Velantis game protocol")

local packet_types = {
    [1] = "Connect",
    [2] = "Welcome",
    [3] = "Disconnect",
    [5] = "PlayerPositionUpdate",
}
local message_types = { [SNAPSHOT_TYPE] = "Snapshot" }
for value, name in pairs(packet_types) do message_types[value] = name end

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
    snapshots = ProtoField.string("velantis.snapshots", "Snapshots"),
    excess = ProtoField.bytes("velantis.excess", "Bytes beyond the end"),
    tick = ProtoField.uint32("velantis.snapshot.tick", "Tick", base.DEC),
    count = ProtoField.uint16("velantis.snapshot.count", "Entry count", base.DEC),
    part = ProtoField.uint8("velantis.snapshot.part", "Part", base.DEC),
    parts = ProtoField.uint8("velantis.snapshot.parts", "Parts", base.DEC),
    entry = ProtoField.bytes("velantis.snapshot.entry", "Entry"),
    entry_player = ProtoField.uint64("velantis.snapshot.entry.player_id", "Player ID", base.DEC),
    entry_entity = ProtoField.uint32("velantis.snapshot.entry.entity_id", "Entity ID", base.DEC),
    entry_x = ProtoField.float("velantis.snapshot.entry.x", "X"),
    entry_y = ProtoField.float("velantis.snapshot.entry.y", "Y"),
    ack = ProtoField.uint32("velantis.snapshot.ack", "Ack", base.DEC),
    ack_bits = ProtoField.uint32("velantis.snapshot.ack_bits", "Ack bits", base.HEX),
}
velantis.fields = {
    f.length, f.initialized, f.gap1, f.checksum, f.checksum_calculated, f.checksum_status,
    f.client_id, f.type, f.gap2, f.message_number, f.position, f.position_x, f.position_y,
    f.message_field, f.message, f.message_length, f.message_rest, f.player_uuid, f.entity_id,
    f.gap3, f.snapshots, f.excess, f.tick, f.count, f.part, f.parts, f.entry, f.entry_player,
    f.entry_entity, f.entry_x, f.entry_y, f.ack, f.ack_bits,
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
    snapshot_malformed = ProtoExpert.new("velantis.snapshot.malformed",
        "Snapshot length does not match its entry count",
        expert.group.MALFORMED, expert.severity.ERROR),
}
velantis.experts = { e.malformed, e.checksum_bad, e.type_unknown, e.unterminated,
    e.snapshot_malformed }

velantis.prefs.heuristic = Pref.bool("Find packets on any UDP port", true,
    "Recognise 1056-byte UDP datagrams, and snapshots as long as their entry count makes " ..
    "them, whose checksum matches on any port, so that the server's replies, sent from fresh " ..
    "ports, are decoded too")

-- FNV-1a 64 of the datagram with its checksum field taken as 0, as two 32-bit halves. Lua 5.2
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

-- Whether the first `length` bytes carry a matching checksum, and the calculated value.
local function verify(tvb, length)
    local lo, hi = fnv1a64_halves(tvb:raw(0, length))
    local good = tvb(8, 4):le_uint() == lo and tvb(12, 4):le_uint() == hi
    return good, UInt64.new(lo, hi)
end

local function short_float(value)
    if value ~= value then return "nan" end
    if value == math.huge then return "inf" end
    if value == -math.huge then return "-inf" end
    return string.format("%g", value)
end

-- A packet's fields after its header: the texts they give the Info column.
local function dissect_packet(tvb, root, has, flags, message_type)
    local info = {}
    local captured = tvb:len()
    if has(1040, 8) then
        info[#info + 1] = "player=" .. tostring(tvb(1040, 8):le_uint64())
    end
    if has(1048, 4) then info[#info + 1] = string.format("entity=%d", tvb(1048, 4):le_uint()) end
    info[#info + 1] = false -- the message number goes here

    if has(32, 8) then
        local x, y = tvb(32, 4):le_float(), tvb(36, 4):le_float()
        local shown = "(" .. short_float(x) .. ", " .. short_float(y) .. ")"
        local position = root:add(f.position, tvb(32, 8))
        position:set_text("Position: " .. shown)
        position:add_le(f.position_x, tvb(32, 4))
        position:add_le(f.position_y, tvb(36, 4))
        info[#info + 1] = "pos=" .. shown
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

    if has(1040, 8) then root:add_le(f.player_uuid, tvb(1040, 8)) end
    if has(1048, 4) then root:add_le(f.entity_id, tvb(1048, 4)) end
    if has(1052, 4) then
        local capability = ({ [1] = "asked", [2] = "granted" })[message_type]
        if capability and tvb(1052, 4):raw() == CAPABILITY then
            root:add(f.snapshots, tvb(1052, 4), capability):set_text(
                "Snapshots: " .. capability .. " (" .. CAPABILITY .. ")")
            info[#info + 1] = "snapshots=" .. capability
        else
            root:add(f.gap3, tvb(1052, 4))
        end
    end
    if captured > PACKET_SIZE then
        root:add(f.excess, tvb(PACKET_SIZE, captured - PACKET_SIZE))
    end
    return info
end

-- A snapshot's fields after its header: the texts they give the Info column, and whether the
-- datagram's length disagrees with its entry count. Entries are shown as far as the datagram
-- holds them, the acknowledgement where the count puts it.
local function dissect_snapshot(tvb, root, has, length_item)
    local info = { false } -- the message number goes first
    local captured, length = tvb:len(), tvb:reported_len()
    if has(32, 4) then
        root:add_le(f.tick, tvb(32, 4))
        info[#info + 1] = string.format("tick=%d", tvb(32, 4):le_uint())
    end
    local count
    if has(36, 2) then
        count = tvb(36, 2):le_uint()
        root:add_le(f.count, tvb(36, 2))
        info[#info + 1] = string.format("entries=%d", count)
    end
    if has(38, 1) then root:add(f.part, tvb(38, 1)) end
    if has(39, 1) then
        root:add(f.parts, tvb(39, 1))
        info[#info + 1] = string.format("part=%d/%d", tvb(38, 1):uint(), tvb(39, 1):uint())
    end
    if count then
        for k = 0, count - 1 do
            local at = ENTRIES_OFFSET + k * ENTRY_SIZE
            if not has(at, ENTRY_SIZE) then break end
            local entry = root:add(f.entry, tvb(at, ENTRY_SIZE))
            entry:set_text(string.format("Entry %d: player %s, entity %d, (%s, %s)", k + 1,
                tostring(tvb(at, 8):le_uint64()), tvb(at + 8, 4):le_uint(),
                short_float(tvb(at + 12, 4):le_float()), short_float(tvb(at + 16, 4):le_float())))
            entry:add_le(f.entry_player, tvb(at, 8))
            entry:add_le(f.entry_entity, tvb(at + 8, 4))
            entry:add_le(f.entry_x, tvb(at + 12, 4))
            entry:add_le(f.entry_y, tvb(at + 16, 4))
        end
        local ack_at = ENTRIES_OFFSET + count * ENTRY_SIZE
        if has(ack_at, ACK_SIZE) then
            root:add_le(f.ack, tvb(ack_at, 4))
            root:add_le(f.ack_bits, tvb(ack_at + 4, 4))
            info[#info + 1] = string.format("ack=%d", tvb(ack_at, 4):le_uint())
        end
        if captured > ack_at + ACK_SIZE then
            root:add(f.excess, tvb(ack_at + ACK_SIZE, captured - ack_at - ACK_SIZE))
        end
    end

    local problem
    if length < SNAPSHOT_MIN then
        problem = string.format("Snapshot of %d bytes; the shortest is %d", length, SNAPSHOT_MIN)
    elseif count and length ~= SNAPSHOT_MIN + count * ENTRY_SIZE then
        problem = string.format("Snapshot of %d bytes; %d entries make %d", length, count,
            SNAPSHOT_MIN + count * ENTRY_SIZE)
    end
    if problem then length_item:add_proto_expert_info(e.snapshot_malformed, problem) end
    return info, problem ~= nil
end

local function dissect(tvb, pinfo, tree, verified)
    local captured = tvb:len()
    local length = tvb:reported_len()
    local function has(offset, size) return offset + size <= captured end
    -- Only a snapshot is shorter than a packet and still well formed.
    local snapshot = length < PACKET_SIZE and has(24, 1) and tvb(24, 1):uint() == SNAPSHOT_TYPE
    local malformed = length ~= PACKET_SIZE and not snapshot

    pinfo.cols.protocol = "Velantis"
    local root = tree:add(velantis, tvb(0, math.min(captured, PACKET_SIZE)))
    local length_item = root:add(f.length, length):set_generated()
    if malformed then
        length_item:add_proto_expert_info(e.malformed, string.format(
            "Datagram of %d bytes; a packet is exactly %d", length, PACKET_SIZE))
    end

    local flags = {}
    local type_text, client_text, number_text, message_type

    if has(0, 1) then root:add(f.initialized, tvb(0, 1)) end
    if has(1, 7) then root:add(f.gap1, tvb(1, 7)) end

    if has(8, 8) then
        local item = root:add_le(f.checksum, tvb(8, 8))
        local status = CHECKSUM_UNVERIFIED
        local calculated
        -- A packet's checksum covers its 1056 bytes, a snapshot's its own length.
        if not malformed and captured >= length then
            local good = verified
            if good == nil then good, calculated = verify(tvb, length) end
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
        message_type = tvb(24, 1):uint()
        local item = root:add(f.type, tvb(24, 1))
        type_text = snapshot and message_types[SNAPSHOT_TYPE] or packet_types[message_type]
        if not type_text then
            type_text = string.format("Unknown(%d)", message_type)
            item:add_proto_expert_info(e.type_unknown, message_type == SNAPSHOT_TYPE
                and string.format("A snapshot's type in a datagram of %d bytes", length)
                or string.format("Unknown message type %d", message_type))
        end
    end
    if has(25, 3) then root:add(f.gap2, tvb(25, 3)) end
    if has(28, 4) then
        root:add_le(f.message_number, tvb(28, 4))
        number_text = string.format("#%d", tvb(28, 4):le_uint())
    end

    local body, bad_snapshot
    if snapshot then
        body, bad_snapshot = dissect_snapshot(tvb, root, has, length_item)
    else
        body = dissect_packet(tvb, root, has, flags, message_type)
    end

    local info = {}
    if malformed or bad_snapshot then info[1] = string.format("%d bytes", length) end
    if malformed then table.insert(flags, 1, "[MALFORMED]") end
    if bad_snapshot then table.insert(flags, 1, "[MALFORMED SNAPSHOT]") end
    for _, text in ipairs({ type_text or false, client_text or false }) do
        if text then info[#info + 1] = text end
    end
    for _, text in ipairs(body) do
        if text == false then text = number_text end
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

-- Cheap tests first: only a datagram of a packet's length, or of type 6 and as long as its entry
-- count makes it, is worth a checksum.
local function heuristic(tvb, pinfo, tree)
    if not velantis.prefs.heuristic then return false end
    local length = tvb:reported_len()
    if tvb:len() ~= length then return false end
    if length ~= PACKET_SIZE then
        if length < SNAPSHOT_MIN or length > PACKET_SIZE then return false end
        if tvb(24, 1):uint() ~= SNAPSHOT_TYPE then return false end
        if length ~= SNAPSHOT_MIN + tvb(36, 2):le_uint() * ENTRY_SIZE then return false end
    end
    local good = verify(tvb, length)
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
