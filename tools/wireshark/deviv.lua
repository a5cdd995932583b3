-- Wireshark dissector for the kart RPM limiter console (deviv_azeve) on UDP port 11309: the relay's status and
-- transponder frames, the consoles' discovery ping, the two limit commands and the application commands that
-- consoles send each other.
--
-- It takes datagrams apart by the same rules as the console's decoder (src/net/datagramdecoder.cpp), so a frame
-- shown here is a frame the console takes, and what is flagged as dropped is what the console drops:
--   * the text of a datagram is its bytes up to the first zero byte; when that text is a JSON object, the
--     datagram is an application command if the object has the key "appCommand" and is dropped otherwise, and
--     nothing in it is scanned for frames;
--   * any other datagram is scanned for frames from its first byte: 0xAA 0x55 starts a frame, which is 20
--     bytes long when 0xDE 0xAD stands at its bytes 18 and 19, else 23 bytes long when it stands at 21 and 22;
--     a 20-byte frame of type 4 is a status frame, a 23-byte frame of type 1 a transponder frame, and other
--     types are skipped whole; every other byte is skipped on its own; nothing at or beyond the end matches;
--   * when the text is the discovery word "RERADOZ" (a leading UTF-8 byte order mark does not count), every
--     step of that scan first skips seven bytes.
--
-- Wireshark and tshark load it from their Lua plugin folders (Help > About Wireshark > Folders); for one run,
-- `tshark -X lua_script:deviv.lua -r capture.pcap`. Every value is a field: `deviv.transponder.id == 1003`,
-- `deviv.status.global_limit != 10000`, `deviv.command.kind == "GLOBALRPMLIMIT"`, `deviv.app.command`.

local PORT = 11309
local DISCOVERY_WORD = "RERADOZ"
local BOM = "\239\187\191"
local START_MARKER = { 0xAA, 0x55 }
local END_MARKER = { 0xDE, 0xAD }
local STATUS_SIZE, TRANSPONDER_SIZE = 20, 23
local STATUS_TYPE, TRANSPONDER_TYPE = 4, 1
-- Objects and arrays nested deeper than this do not parse (the console's JSON parser stops there).
local JSON_NESTING_LIMIT = 1024
local INT32_MIN, INT32_MAX = -2147483648, 2147483647

local deviv = Proto("deviv", "Kart RPM limiter console protocol (deviv_azeve)")

local kinds = {
    [1] = "discovery ping",
    [2] = "relay frames",
    [3] = "application command",
    [4] = "JSON object without appCommand",
    [5] = "global limit command",
    [6] = "transponder limit command",
    [7] = "malformed limit command",
    [8] = "nothing the console reads",
    [9] = "empty",
}
local KIND_PING, KIND_FRAMES, KIND_APP, KIND_DROPPED_JSON = 1, 2, 3, 4
local KIND_GLOBAL, KIND_TRANSPONDER, KIND_BAD_COMMAND, KIND_UNREAD, KIND_EMPTY = 5, 6, 7, 8, 9
local frame_types = { [STATUS_TYPE] = "status", [TRANSPONDER_TYPE] = "transponder" }

local f = {
    kind = ProtoField.uint8("deviv.kind", "Datagram", base.DEC, kinds),
    text = ProtoField.string("deviv.text", "Text", base.UNICODE, "The bytes up to the first zero byte"),
    ping = ProtoField.string("deviv.ping", "Discovery ping"),
    frame = ProtoField.bytes("deviv.frame", "Frame"),
    frame_type = ProtoField.uint8("deviv.frame.type", "Type", base.DEC, frame_types),
    frame_length = ProtoField.uint8("deviv.frame.length", "Length", base.DEC),
    start_marker = ProtoField.uint16("deviv.frame.start_marker", "Start marker", base.HEX),
    end_marker = ProtoField.uint16("deviv.frame.end_marker", "End marker", base.HEX),
    unread = ProtoField.bytes("deviv.frame.unread", "Not read by the console"),
    global_limit = ProtoField.uint16("deviv.status.global_limit", "Global RPM limit", base.DEC),
    transponder_id = ProtoField.uint16("deviv.transponder.id", "Transponder id", base.DEC),
    rpm = ProtoField.uint16("deviv.transponder.rpm", "Engine RPM", base.DEC),
    limit = ProtoField.uint16("deviv.transponder.limit", "RPM limit in force", base.DEC),
    rssi = ProtoField.int8("deviv.transponder.rssi", "RSSI (dBm)", base.DEC),
    stray = ProtoField.bytes("deviv.stray", "Stray bytes"),
    skipped = ProtoField.bytes("deviv.skipped", "Skipped by the discovery-word rule"),
    marker_only = ProtoField.bytes("deviv.lone_start_marker", "Start marker without an end marker"),
    command_kind = ProtoField.string("deviv.command.kind", "Command"),
    command_id = ProtoField.int32("deviv.command.id", "Transponder id", base.DEC),
    command_value = ProtoField.int32("deviv.command.value", "RPM limit", base.DEC),
    command_second = ProtoField.int32("deviv.command.second", "Second field (consoles send -1)", base.DEC),
    app_command = ProtoField.string("deviv.app.command", "appCommand"),
    app_value = ProtoField.string("deviv.app.value", "value"),
    app_transponder_id = ProtoField.int64("deviv.app.transponder_id", "transponderId", base.DEC),
    not_read = ProtoField.bytes("deviv.after_text", "After the text's zero byte (not read)"),
}
deviv.fields = f

-- The notes and warnings Wireshark lists with a datagram, by their Wireshark group and severity.
local e = {}
local function add_experts(group, severity, list)
    for key, entry in pairs(list) do
        e[key] = ProtoExpert.new("deviv.expert." .. entry[1], entry[2], group, severity)
    end
end
add_experts(expert.group.MALFORMED, expert.severity.WARN, {
    lone_marker = {"lone_start_marker",
        "Start marker without an end marker 18 or 21 bytes later: the console skips one byte"},
    bad_command = {"bad_command", "Malformed limit command: not what a console sends"},
    bad_json = {"bad_json", "Starts like a JSON object but is not one: the console scans it for frames instead"},
})
add_experts(expert.group.MALFORMED, expert.severity.ERROR, {
    cut = {"cut", "The capture holds only part of this datagram"},
})
add_experts(expert.group.PROTOCOL, expert.severity.WARN, {
    frame_type = {"frame_type", "Frame of a type the console skips"},
    no_app_command = {"no_app_command", "JSON object without \"appCommand\": the console drops it"},
    not_whole = {"not_whole", "transponderId is not a whole 32-bit number"},
})
add_experts(expert.group.PROTOCOL, expert.severity.NOTE, {
    stray = {"stray", "Stray bytes: the console skips them one at a time"},
    skipped = {"skipped", "The text is the discovery word: every step of the console's frame scan skips seven bytes"},
    after_json = {"after_json", "Bytes after the zero byte that ends a JSON text: the console does not read them"},
    unread = {"unread", "Nothing in this datagram that the console reads"},
})
deviv.experts = e

---------------------------------------------------------------------------------------------------------------
-- The console's JSON test. The console hands the text (UTF-8, one leading byte order mark dropped, ill-formed
-- sequences replaced) to a JSON parser that accepts exactly the following, and only a top-level object counts.
-- Every ASCII byte survives the text conversion unchanged and every other byte turns into a multi-byte
-- character, so the test runs on the raw bytes: a non-ASCII byte is fine inside a string, and nowhere else.
---------------------------------------------------------------------------------------------------------------

local function json_fail(reason)
    error({ json = reason }, 0)
end

local function is_digit(b)
    return b ~= nil and b >= 48 and b <= 57
end

local hex_value = {}
for i = 0, 9 do hex_value[48 + i] = i end
for i = 0, 5 do
    hex_value[65 + i] = 10 + i
    hex_value[97 + i] = 10 + i
end

-- A UTF-8 encoding of one code unit or code point, for showing decoded strings.
local function utf8_char(code)
    if code < 0x80 then
        return string.char(code)
    elseif code < 0x800 then
        return string.char(0xC0 + math.floor(code / 64), 0x80 + code % 64)
    elseif code < 0x10000 then
        return string.char(0xE0 + math.floor(code / 4096), 0x80 + math.floor(code / 64) % 64, 0x80 + code % 64)
    end
    return string.char(0xF0 + math.floor(code / 262144), 0x80 + math.floor(code / 4096) % 64,
        0x80 + math.floor(code / 64) % 64, 0x80 + code % 64)
end

-- Escapes that stand for a control character; any other ASCII byte after a backslash stands for itself.
local simple_escapes = { [0x62] = 8, [0x66] = 12, [0x6E] = 10, [0x72] = 13, [0x74] = 9 }

local JsonParser = {}
JsonParser.__index = JsonParser

local function new_parser(s)
    return setmetatable({ s = s, n = #s, i = 1, depth = 0 }, JsonParser)
end

-- Skips white space; true when a byte is left.
function JsonParser:eat_space()
    local next_byte = self.s:find("[^ \t\n\r]", self.i)
    self.i = next_byte or self.n + 1
    return self.i <= self.n
end

-- The next structural byte, consumed; 0 at the end or for any other byte (which is consumed too).
function JsonParser:next_token()
    if not self:eat_space() then
        return 0
    end
    local b = self.s:byte(self.i)
    self.i = self.i + 1
    if b == 0x5B or b == 0x7B or b == 0x3A or b == 0x2C or b == 0x5D or b == 0x7D or b == 0x22 then
        return b
    end
    return 0
end

-- After the opening quote: the decoded string (escapes resolved, other bytes as they are) and whether it had
-- escapes.
function JsonParser:string()
    local s, start = self.s, self.i
    local stop = s:find('["\\]', start)
    if stop and s:byte(stop) == 0x22 then
        self.i = stop + 1
        if self.i > self.n then json_fail("unterminated string") end
        return s:sub(start, stop - 1), false
    end
    local parts = {}
    local i = start
    while i <= self.n do
        local b = s:byte(i)
        if b == 0x22 then
            break
        elseif b == 0x5C then
            i = i + 1
            if i > self.n then json_fail("invalid escape sequence") end
            local escaped = s:byte(i)
            i = i + 1
            if escaped == 0x75 then
                if i > self.n - 3 then json_fail("invalid escape sequence") end
                local code = 0
                for k = 0, 3 do
                    local digit = hex_value[s:byte(i + k)]
                    if not digit then json_fail("invalid escape sequence") end
                    code = code * 16 + digit
                end
                i = i + 4
                parts[#parts + 1] = { code = code }
            elseif escaped >= 0x80 then
                -- The escape takes the first byte of a multi-byte character; the rest is ill-formed.
                json_fail("invalid UTF-8 string")
            else
                parts[#parts + 1] = string.char(simple_escapes[escaped] or escaped)
            end
        else
            local run_end = (s:find('["\\]', i) or self.n + 1) - 1
            parts[#parts + 1] = s:sub(i, run_end)
            i = run_end + 1
        end
    end
    i = i + 1
    if i > self.n then json_fail("unterminated string") end
    self.i = i
    -- Join, pairing UTF-16 surrogates from \u escapes; a lone surrogate shows as U+FFFD.
    local out, k = {}, 1
    while k <= #parts do
        local part = parts[k]
        if type(part) == "string" then
            out[#out + 1] = part
        else
            local code = part.code
            local following = parts[k + 1]
            if code >= 0xD800 and code <= 0xDBFF and type(following) == "table" and following.code >= 0xDC00
                and following.code <= 0xDFFF then
                out[#out + 1] = utf8_char(0x10000 + (code - 0xD800) * 0x400 + (following.code - 0xDC00))
                k = k + 1
            elseif code >= 0xD800 and code <= 0xDFFF then
                out[#out + 1] = utf8_char(0xFFFD)
            else
                out[#out + 1] = utf8_char(code)
            end
        end
        k = k + 1
    end
    return table.concat(out), true
end

-- A number: accepted when it reads as a 64-bit integer or as a finite double that does not round a non-zero
-- value to zero.
function JsonParser:number()
    local s, start = self.s, self.i
    local i = start
    local is_int = true
    if s:byte(i) == 0x2D then i = i + 1 end
    if s:byte(i) == 0x30 then
        i = i + 1
    else
        while is_digit(s:byte(i)) do i = i + 1 end
    end
    if s:byte(i) == 0x2E then
        i = i + 1
        while is_digit(s:byte(i)) do
            is_int = is_int and s:byte(i) == 0x30
            i = i + 1
        end
    end
    local b = s:byte(i)
    if b == 0x65 or b == 0x45 then
        is_int = false
        i = i + 1
        b = s:byte(i)
        if b == 0x2D or b == 0x2B then i = i + 1 end
        while is_digit(s:byte(i)) do i = i + 1 end
    end
    if i > self.n then json_fail("number at the end") end
    self.i = i
    local text = s:sub(start, i - 1)
    if is_int and text:find("^%-?%d+$") then
        local digits = text:gsub("^%-", ""):gsub("^0+(%d)", "%1")
        local limit = text:sub(1, 1) == "-" and "9223372036854775808" or "9223372036854775807"
        if #digits < 19 or (#digits == 19 and digits <= limit) then
            return tonumber(text), text
        end
    end
    local value = tonumber(text)
    if value == nil or value ~= value or value == math.huge or value == -math.huge then
        json_fail("illegal number")
    end
    if value == 0 and text:gsub("[eE].*$", ""):find("[1-9]") then
        json_fail("illegal number")
    end
    return value, text
end

-- A value starting at the current byte; returns a description { type, value, first, last }.
function JsonParser:value()
    local s = self.s
    local first = self.i
    local b = s:byte(self.i)
    self.i = self.i + 1
    local remaining = self.n - self.i + 1
    local function literal(word, min_remaining, value)
        if remaining < min_remaining or s:sub(self.i, self.i + #word - 1) ~= word then
            json_fail("illegal value")
        end
        self.i = self.i + #word
        return value
    end
    local result
    if b == 0x6E then
        result = { type = "null", value = literal("ull", 4, nil) }
    elseif b == 0x74 then
        result = { type = "bool", value = literal("rue", 4, true) }
    elseif b == 0x66 then
        result = { type = "bool", value = literal("alse", 5, false) }
    elseif b == 0x22 then
        local text, escaped = self:string()
        -- A string without escapes is kept as UTF-8 and loses a leading byte order mark when the console reads it.
        if not escaped and text:sub(1, 3) == BOM then text = text:sub(4) end
        result = { type = "string", value = text }
    elseif b == 0x5B then
        self:array()
        result = { type = "array" }
    elseif b == 0x7B then
        self:object()
        result = { type = "object" }
    elseif b == 0x2C or b == 0x7D or b == 0x5D then
        json_fail("missing value")
    else
        self.i = self.i - 1
        local value, text = self:number()
        result = { type = "number", value = value, text = text }
    end
    result.first, result.last = first, self.i - 1
    return result
end

function JsonParser:nest()
    self.depth = self.depth + 1
    if self.depth > JSON_NESTING_LIMIT then json_fail("too deeply nested") end
end

-- After "{": the members, the last of equal keys winning.
function JsonParser:object()
    self:nest()
    local members = {}
    local token = self:next_token()
    while token == 0x22 do
        local key = self:string()
        if self:next_token() ~= 0x3A then json_fail("missing name separator") end
        if not self:eat_space() then json_fail("unterminated object") end
        members[key] = self:value()
        token = self:next_token()
        if token ~= 0x2C then break end
        token = self:next_token()
        if token == 0x7D then json_fail("missing member after a comma") end
    end
    if token ~= 0x7D then json_fail("unterminated object") end
    self.depth = self.depth - 1
    return members
end

-- After "[".
function JsonParser:array()
    self:nest()
    if not self:eat_space() then json_fail("unterminated array") end
    if self.s:byte(self.i) == 0x5D then
        self:next_token()
    else
        while true do
            if not self:eat_space() then json_fail("unterminated array") end
            self:value()
            local token = self:next_token()
            if token == 0x5D then break end
            if token ~= 0x2C then json_fail("unterminated array") end
        end
    end
    self.depth = self.depth - 1
end

-- Parses the text (after the dropped byte order mark) as the console does. Returns the top-level members
-- when it is an object, else nil and why not.
local function parse_json_object(s)
    local parser = new_parser(s)
    if parser.n > 3 and s:sub(1, 3) == BOM then parser.i = 4 end
    local ok, result = pcall(function()
        if parser:next_token() ~= 0x7B then json_fail("not an object") end
        local members = parser:object()
        if parser:eat_space() then json_fail("garbage after the object") end
        return members
    end)
    if ok then return result end
    if type(result) == "table" and result.json then return nil, result.json end
    error(result, 0)
end

---------------------------------------------------------------------------------------------------------------
-- The frame scan, step by step as the console makes it.
---------------------------------------------------------------------------------------------------------------

local function has_marker(data, n, pos, marker)
    return pos + 1 < n and data:byte(pos + 1) == marker[1] and data:byte(pos + 2) == marker[2]
end

-- What the scan meets, in order: frames, lone start markers, runs of stray bytes and of bytes skipped by the
-- discovery-word rule. Offsets are 0-based; skipped runs are clipped to the datagram.
local function scan_frames(data, n, is_ping)
    local items = {}
    local function add_run(kind, offset, size)
        if size <= 0 then return end
        local last = items[#items]
        if last and last.kind == kind and last.offset + last.size == offset then
            last.size = last.size + size
        else
            items[#items + 1] = { kind = kind, offset = offset, size = size }
        end
    end
    local pos, remaining = 0, n
    while remaining > 0 do
        if is_ping then
            add_run("skipped", pos, math.min(pos + 7, n) - pos)
            pos, remaining = pos + 7, remaining - 7
        end
        local step = 1
        if has_marker(data, n, pos, START_MARKER) then
            if has_marker(data, n, pos + STATUS_SIZE - 2, END_MARKER) then
                step = STATUS_SIZE
            elseif has_marker(data, n, pos + TRANSPONDER_SIZE - 2, END_MARKER) then
                step = TRANSPONDER_SIZE
            end
            if step > 1 then
                local frame_type = data:byte(pos + 3)
                local delivered = (step == STATUS_SIZE and frame_type == STATUS_TYPE)
                    or (step == TRANSPONDER_SIZE and frame_type == TRANSPONDER_TYPE)
                items[#items + 1] = { kind = "frame", offset = pos, size = step, type = frame_type,
                    delivered = delivered }
            else
                items[#items + 1] = { kind = "lone_marker", offset = pos, size = 1 }
            end
        elseif pos < n then
            add_run("stray", pos, 1)
        end
        pos, remaining = pos + step, remaining - step
    end
    return items
end

---------------------------------------------------------------------------------------------------------------
-- Showing it.
---------------------------------------------------------------------------------------------------------------

local function le16(data, offset)
    return data:byte(offset + 1) + 256 * data:byte(offset + 2)
end

local function add_frame(tree, tvb, data, item, summaries)
    local offset, size = item.offset, item.size
    local range = tvb(offset, size)
    local node = tree:add(f.frame, range)
    node:add(f.start_marker, tvb(offset, 2))
    node:add(f.frame_type, tvb(offset + 2, 1))
    node:add(f.frame_length, range, size):set_generated()
    if item.delivered and size == STATUS_SIZE then
        local limit = le16(data, offset + 10)
        local text = string.format("Status frame: global limit %d RPM", limit)
        node:set_text(text)
        node:add(f.unread, tvb(offset + 3, 7))
        node:add_le(f.global_limit, tvb(offset + 10, 2))
        node:add(f.unread, tvb(offset + 12, 6))
        summaries[#summaries + 1] = { short = string.format("Status %d", limit), long = text }
    elseif item.delivered then
        local id, rpm, limit = le16(data, offset + 3), le16(data, offset + 5), le16(data, offset + 7)
        local rssi = data:byte(offset + 13)
        if rssi >= 128 then rssi = rssi - 256 end
        local text = string.format("Transponder frame: id %d, %d RPM, limit %d, %d dBm", id, rpm, limit, rssi)
        node:set_text(text)
        node:add_le(f.transponder_id, tvb(offset + 3, 2))
        node:add_le(f.rpm, tvb(offset + 5, 2))
        node:add_le(f.limit, tvb(offset + 7, 2))
        node:add(f.unread, tvb(offset + 9, 3))
        node:add(f.rssi, tvb(offset + 12, 1))
        node:add(f.unread, tvb(offset + 13, 8))
        summaries[#summaries + 1] = { short = string.format("%d: %d RPM", id, rpm), long = text }
    else
        node:set_text(string.format("%d-byte frame of type %d (skipped)", size, item.type))
        node:add_proto_expert_info(e.frame_type, string.format("%d-byte frame of type %d: the console skips it"
            .. " (it reads type %d in %d-byte frames)", size, item.type,
            size == STATUS_SIZE and STATUS_TYPE or TRANSPONDER_TYPE, size))
    end
    node:add(f.end_marker, tvb(offset + size - 2, 2))
end

-- Adds the scan's items; runs of stray or skipped bytes inside [0, covered) belong to a text shown already.
local function add_scan(tree, tvb, data, items, covered, summaries)
    local delivered = 0
    for _, item in ipairs(items) do
        local inside = item.offset + item.size <= covered
        if item.kind == "frame" then
            add_frame(tree, tvb, data, item, summaries)
            if item.delivered then delivered = delivered + 1 end
        elseif item.kind == "lone_marker" then
            tree:add(f.marker_only, tvb(item.offset, math.min(2, #data - item.offset)))
                :add_proto_expert_info(e.lone_marker)
        elseif not inside then
            local node = tree:add(item.kind == "stray" and f.stray or f.skipped, tvb(item.offset, item.size))
            node:add_proto_expert_info(item.kind == "stray" and e.stray or e.skipped)
        end
    end
    return delivered
end

-- A JSON value as text for showing: strings decoded (a zero character written as \u0000), others as written.
local function json_text(member)
    if member.type == "string" then return (member.value:gsub("%z", "\\u0000")) end
    if member.type == "number" then return member.text end
    if member.type == "null" then return "null" end
    if member.type == "bool" then return tostring(member.value) end
    return member.type
end

-- appCommand, value and transponderId as the console's list model reads them: texts and a whole number.
local function add_app_command(tree, tvb, base_offset, members, summaries)
    local function range_of(member)
        return tvb(base_offset + member.first - 1, member.last - member.first + 1)
    end
    local function add_text_member(field, name, member)
        if member.type == "string" then
            tree:add(field, range_of(member), json_text(member))
        else
            tree:add(range_of(member), string.format("%s: %s (a JSON %s, which the console reads as an empty text)",
                name, json_text(member), member.type))
        end
    end
    local command, value, transponder = members["appCommand"], members["value"], members["transponderId"]
    add_text_member(f.app_command, "appCommand", command)
    if value then add_text_member(f.app_value, "value", value) end
    if transponder then
        local number = transponder.type == "number" and transponder.value
        if number and number == math.floor(number) and number >= INT32_MIN and number <= INT32_MAX then
            tree:add(f.app_transponder_id, range_of(transponder), Int64.new(number))
        else
            tree:add(range_of(transponder), "transponderId: " .. json_text(transponder))
                :add_proto_expert_info(e.not_whole)
        end
    end
    local summary = "Application command " .. json_text(command)
    if value then summary = summary .. " " .. json_text(value) end
    if transponder then summary = summary .. " for " .. json_text(transponder) end
    summaries[#summaries + 1] = summary
end

-- "GLOBALRPMLIMIT:%1,%2" and "TRANSPONDERRPMLIMIT:%1,%2", each field a 32-bit decimal integer as consoles write
-- them. Returns the command word, the two fields (value and offset in the text, 0-based) and what is wrong.
local function parse_command(text)
    local word, first, second = text:match("^(%u+):(.-),(.*)$")
    if word ~= "GLOBALRPMLIMIT" and word ~= "TRANSPONDERRPMLIMIT" then
        word = text:match("^(GLOBALRPMLIMIT)") or text:match("^(TRANSPONDERRPMLIMIT)")
        return word, nil, "not KIND:NUMBER,NUMBER"
    end
    local fields = {}
    local offset = #word + 1
    for index, field in ipairs({ first, second }) do
        if not field:match("^%-?%d+$") or field:match("^%-?0%d") or field == "-0" then
            return word, nil, string.format("field %d is not a decimal integer", index)
        end
        local value = tonumber(field)
        if value < INT32_MIN or value > INT32_MAX then
            return word, nil, string.format("field %d is out of the 32-bit range", index)
        end
        fields[index] = { value = value, offset = offset, length = #field }
        offset = offset + #field + 1
    end
    return word, fields
end

function deviv.dissector(tvb, pinfo, tree)
    local n = tvb:len()
    pinfo.cols.protocol = "DEVIV"
    local root = tree:add(deviv, tvb())
    if n < tvb:reported_len() then
        root:add_proto_expert_info(e.cut, string.format("The capture holds %d of this datagram's %d bytes", n,
            tvb:reported_len()))
    end
    if n == 0 then
        root:add(f.kind, KIND_EMPTY):set_generated()
        pinfo.cols.info = "Empty datagram (the console reads nothing)"
        return
    end

    local data = tvb:raw(0, n)
    local zero = data:find("\0", 1, true)
    local text_length = zero and zero - 1 or n
    local text_start = (text_length >= 3 and data:sub(1, 3) == BOM) and 3 or 0
    local text = data:sub(text_start + 1, text_length)
    local summaries = {}
    local kind

    -- Only a text that starts with "{" after white space and byte order marks can be a JSON object.
    local members, json_error
    if text:find("^[ \t\r\n\239\187\191]*{") then
        members, json_error = parse_json_object(text)
    end
    -- The text is shown where it is one, not for binary frames.
    if text_length > 0 and (members or not data:sub(1, text_length):find("[%z\1-\8\14-\31\127\170]")) then
        root:add(f.text, tvb(0, text_length))
    end
    if members then
        if members["appCommand"] then
            kind = KIND_APP
            add_app_command(root, tvb, text_start, members, summaries)
        else
            kind = KIND_DROPPED_JSON
            root:add_proto_expert_info(e.no_app_command)
            summaries[1] = "JSON object without appCommand (dropped)"
        end
        if zero and zero < n then
            root:add(f.not_read, tvb(zero - 1, n - zero + 1)):add_proto_expert_info(e.after_json)
        end
        root:add(f.kind, kind):set_generated()
        root:append_text(", " .. kinds[kind])
        pinfo.cols.info = table.concat(summaries, "; ")
        return
    end

    local is_ping = text == DISCOVERY_WORD
    local covered = 0
    if is_ping then
        kind = KIND_PING
        root:add(f.ping, tvb(0, text_length), DISCOVERY_WORD)
        summaries[1] = "Discovery ping"
        covered = text_length
    elseif text:find("^GLOBALRPMLIMIT") or text:find("^TRANSPONDERRPMLIMIT") then
        local word, fields, problem = parse_command(text)
        local node = root:add(f.command_kind, tvb(text_start, #word), word)
        local function add_field(field, index)
            local parsed = fields[index]
            root:add(field, tvb(text_start + parsed.offset, parsed.length), parsed.value)
        end
        covered = text_length
        if problem then
            kind = KIND_BAD_COMMAND
            node:add_proto_expert_info(e.bad_command, "Malformed limit command (" .. problem
                .. "): not what a console sends")
            summaries[1] = "Malformed " .. word .. " command"
        elseif word == "GLOBALRPMLIMIT" then
            kind = KIND_GLOBAL
            add_field(f.command_value, 1)
            add_field(f.command_second, 2)
            summaries[1] = string.format("Global limit command: %d RPM", fields[1].value)
        else
            kind = KIND_TRANSPONDER
            add_field(f.command_id, 1)
            add_field(f.command_value, 2)
            summaries[1] = string.format("Transponder limit command: %d to %d RPM", fields[1].value,
                fields[2].value)
        end
    elseif json_error then
        root:add_proto_expert_info(e.bad_json, "Starts like a JSON object but is not one (" .. json_error
            .. "): the console scans it for frames instead")
    end

    local delivered = add_scan(root, tvb, data, scan_frames(data, n, is_ping), covered, summaries)
    if not kind then
        kind = delivered > 0 and KIND_FRAMES or KIND_UNREAD
        if delivered == 0 then root:add_proto_expert_info(e.unread) end
    end
    root:add(f.kind, kind):set_generated()
    root:append_text(", " .. kinds[kind])

    -- One frame is described in full, several each in short.
    local parts = {}
    for _, summary in ipairs(summaries) do
        parts[#parts + 1] = type(summary) == "string" and summary or (#summaries == 1 and summary.long or summary.short)
    end
    local info = table.concat(parts, "; ")
    if #info > 200 then info = info:sub(1, 197) .. "..." end
    pinfo.cols.info = info ~= "" and info or kinds[kind]
end

DissectorTable.get("udp.port"):add(PORT, deviv)
