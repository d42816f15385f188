-- Wireshark / tshark dissector for the capture board's USB bridge, on top of
-- the usbmon traces `kvcap --usb-trace FILE.pcap` writes.
--
-- It names the bridge's vendor requests (request 1: register write, wIndex
-- the register, wValue the value; request 0: register read, one byte back)
-- and follows the bridge's I2C master through its registers to show every
-- transaction on the board's I2C bus as one line:
--
--   I2C write dev 0xBA reg 0x28 = 0x04
--   I2C read dev 0xC2 reg 0x00 = 0x46
--
-- I2C master registers: 0x203 device address, 0x204/0x205 register and data
-- of a write, 0x208 register of a read, 0x209 the byte read, 0x200 the
-- command (0x05 write, 0x20 read, 0x00 open a block of (0x204, 0x205) pairs,
-- 0x06 run the block), 0x201 status (1 acknowledged, 2 not acknowledged).
--
-- Use:  tshark -X lua_script:tools/wireshark/kvbridge.lua -r run.pcap -Y kvbridge
--       wireshark -X lua_script:tools/wireshark/kvbridge.lua run.pcap
-- or copy the file to ~/.local/lib/wireshark/plugins/.
-- Filter fields: kvbridge.request, kvbridge.register, kvbridge.value,
-- kvbridge.i2c (the transaction lines).

local proto = Proto("kvbridge", "Capture board USB bridge")

local f_request = ProtoField.string("kvbridge.request", "Request")
local f_register = ProtoField.uint16("kvbridge.register", "Register", base.HEX)
local f_value = ProtoField.uint8("kvbridge.value", "Value", base.HEX)
local f_i2c = ProtoField.string("kvbridge.i2c", "I2C")
proto.fields = { f_request, f_register, f_value, f_i2c }

local usb_request_type = Field.new("usb.bmRequestType")
local usb_request = Field.new("usb.setup.bRequest")
local usb_value = Field.new("usb.setup.wValue")
local usb_index = Field.new("usb.setup.wIndex")
local usb_urb_type = Field.new("usb.urb_type")
local usb_urb_id = Field.new("usb.urb_id")
local usb_urb_status = Field.new("usb.urb_status")

local REQUEST_READ = 0
local REQUEST_WRITE = 1
local VENDOR_OUT = 0x40
local VENDOR_IN = 0xC0
local URB_SUBMIT = 0x53   -- 'S'
local URB_COMPLETE = 0x43 -- 'C'

local I2C_COMMAND, I2C_ADDRESS = 0x200, 0x203
local I2C_WRITE_REG, I2C_WRITE_DATA = 0x204, 0x205
local I2C_READ_REG, I2C_READ_DATA = 0x208, 0x209

local REGISTER_NAMES = {
    [0x000] = "control", [0x001] = "pin data", [0x003] = "pin direction",
    [0x100] = "frame timing", [0x104] = "scaler 0", [0x105] = "scaler 1", [0x106] = "scaler 2",
    [0x110] = "window h start lo", [0x111] = "window h start hi",
    [0x112] = "window v start lo", [0x113] = "window v start hi",
    [0x114] = "window h end lo", [0x115] = "window h end hi",
    [0x116] = "window v end lo", [0x117] = "window v end hi",
    [0x200] = "I2C command", [0x201] = "I2C status", [0x202] = "I2C clock",
    [0x203] = "I2C address", [0x204] = "I2C write register", [0x205] = "I2C write data",
    [0x208] = "I2C read register", [0x209] = "I2C read data",
}

-- The I2C master as the trace has set it so far (first pass, frame order),
-- and what each frame showed, for later passes and the GUI.
local master
local pending_reads
local shown

function proto.init()
    master = { regs = {}, block = nil, last_read = nil }
    pending_reads = {}
    shown = {}
end

local function hex(v, digits) return string.format("0x%0" .. digits .. "X", v) end

local function register_label(reg)
    local name = REGISTER_NAMES[reg]
    return name and (hex(reg, 3) .. " (" .. name .. ")") or hex(reg, 3)
end

local function i2c_write_line(address, reg, data)
    return string.format("I2C write dev %s reg %s = %s", hex(address, 2), hex(reg, 2), hex(data, 2))
end

-- A register write as the bridge acts on it: the I2C lines it starts.
local function on_write(reg, value)
    local lines = {}
    local r = master.regs
    r[reg] = value
    if reg == I2C_WRITE_DATA and master.block then
        table.insert(master.block, { r[I2C_WRITE_REG] or 0, value })
    elseif reg == I2C_COMMAND then
        local address = r[I2C_ADDRESS] or 0
        if value == 0x05 then
            master.block = nil
            table.insert(lines, i2c_write_line(address, r[I2C_WRITE_REG] or 0, r[I2C_WRITE_DATA] or 0))
        elseif value == 0x20 then
            master.block = nil
            master.last_read = { address = address, reg = r[I2C_READ_REG] or 0 }
            table.insert(lines, string.format("I2C read dev %s reg %s", hex(address, 2), hex(master.last_read.reg, 2)))
        elseif value == 0x00 then
            master.block = {}
        elseif value == 0x06 then
            for _, pair in ipairs(master.block or {}) do
                table.insert(lines, i2c_write_line(address, pair[1], pair[2]))
            end
            master.block = nil
        end
    end
    return lines
end

-- A register read's answer: the byte an I2C read brought back.
local function on_read(reg, value)
    if reg == I2C_READ_DATA and master.last_read then
        local line = string.format("I2C read dev %s reg %s = %s", hex(master.last_read.address, 2),
                                   hex(master.last_read.reg, 2), hex(value, 2))
        master.last_read = nil
        return { line }
    end
    return {}
end

local function first_pass(tvb, pinfo)
    local request_type = usb_request_type()
    local urb_type = usb_urb_type()
    local urb_id = usb_urb_id()
    if not urb_type or not urb_id then return nil end
    local id = tostring(urb_id.value)
    if urb_type.value == URB_SUBMIT and request_type then
        local kind, request = request_type.value, usb_request().value
        local reg, value = usb_index().value, usb_value().value
        if kind == VENDOR_OUT and request == REQUEST_WRITE then
            return { request = "register write", reg = reg, value = value % 256, lines = on_write(reg, value % 256) }
        elseif kind == VENDOR_IN and request == REQUEST_READ then
            pending_reads[id] = reg
            return { request = "register read", reg = reg, lines = {} }
        end
    elseif urb_type.value == URB_COMPLETE and pending_reads[id] then
        local reg = pending_reads[id]
        pending_reads[id] = nil
        local status = usb_urb_status()
        if status and status.value ~= 0 then
            return { request = "register read failed", reg = reg, lines = {} }
        end
        if tvb:len() < 65 then return { request = "register read answer", reg = reg, lines = {} } end
        local value = tvb(tvb:len() - 1, 1):uint()
        return { request = "register read answer", reg = reg, value = value, lines = on_read(reg, value) }
    end
    return nil
end

function proto.dissector(tvb, pinfo, tree)
    local number = pinfo.number
    if not pinfo.visited and shown[number] == nil then
        shown[number] = first_pass(tvb, pinfo) or false
    end
    local s = shown[number]
    if not s then return end
    local subtree = tree:add(proto, "Capture board bridge: " .. s.request)
    subtree:add(f_request, s.request)
    subtree:add(f_register, s.reg):append_text(REGISTER_NAMES[s.reg] and (" (" .. REGISTER_NAMES[s.reg] .. ")") or "")
    local info = s.request .. " " .. register_label(s.reg)
    if s.value then
        subtree:add(f_value, s.value)
        info = info .. (s.request == "register write" and " = " or " -> ") .. hex(s.value, 2)
    end
    for _, line in ipairs(s.lines) do
        subtree:add(f_i2c, line)
        info = info .. "; " .. line
    end
    pinfo.cols.info:set(info)
end

register_postdissector(proto)
