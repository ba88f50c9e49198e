// The node's answers. Every request gets exactly one reply (an answer, a
// confirmation or an abort) except the two commands the node restarts on.

#include "nodemodel.h"

#include "canopen/nodeobjects.h"
#include "canopen/serialcanframe.h"

#include <algorithm>
#include <cstring>

namespace nodesim {

namespace {

using namespace NodeObjects;
using namespace SerialCanFrame;

// Abort codes.
constexpr std::uint32_t kAbortCommandInvalid = 0x05040001;
constexpr std::uint32_t kAbortWriteOnly = 0x06010001;
constexpr std::uint32_t kAbortReadOnly = 0x06010002;
constexpr std::uint32_t kAbortNoObject = 0x06020000;
constexpr std::uint32_t kAbortNoSubIndex = 0x06090011;
constexpr std::uint32_t kAbortInvalidValue = 0x06090030;
constexpr std::uint32_t kAbortWrongState = 0x08000022;

bool isCommand(std::uint8_t sub)
{
    switch (sub) {
    case cmdBootStep1:
    case cmdBootStep2:
    case cmdUserMode:
    case cmdFirmwareMark:
    case cmdStoreBlock:
    case cmdLoadBlock:
    case cmdFlashKey:
        return true;
    default:
        return false;
    }
}

// A block's flash address: on a block boundary inside the flash.
bool isBlockAddress(std::uint32_t address)
{
    using namespace FlashGeometry;
    return address >= flashBase && address <= flashBase + std::uint32_t(flashSize - blockSize)
           && address % blockSize == 0;
}

std::size_t wordOffset(std::uint8_t sub)
{
    return std::size_t(sub - FlashGeometry::firstWordSubIndex) * FlashGeometry::wordSize;
}

} // namespace

NodeModel::NodeModel(int nodeId, bool startInBootMode, int rebootDelayMs)
    : m_nodeId(nodeId),
      m_rebootDelayMs(rebootDelayMs),
      m_boot(startInBootMode)
{
    std::memset(m_block, 0xFF, sizeof m_block);
}

void NodeModel::serve(const std::uint8_t *request, Clock::time_point now, const Faults &faults,
                      std::vector<Record> *replies)
{
    if (m_restarting)
        return; // nobody home until the restart is over
    m_faults = &faults;
    m_replies = replies;
    const std::uint16_t index = getU16(request + SdoIndexOffset);
    const std::uint8_t sub = request[SdoSubIndexOffset];
    const std::uint8_t commandByte = request[SdoCommandOffset];
    if (commandByte == SdoUploadRequest)
        upload(index, sub);
    else if (commandByte == SdoDownloadRequest)
        download(index, sub, request + SdoDataOffset, now);
    else
        abort(index, sub, kAbortCommandInvalid);
    m_faults = nullptr;
    m_replies = nullptr;
}

NodeModel::Record NodeModel::finishRestart(const Faults &faults)
{
    m_restarting = false;
    m_boot = faults.neverUser;
    m_bootStepArmed = false;
    m_flashArmed = false;
    if (faults.noBootUp || faults.silent)
        return {};
    Record bootUp(GuardRecordSize);
    putHead(bootUp.data(), std::uint16_t(ErrorControlBase + m_nodeId), 1);
    bootUp[GuardStateOffset] = BootUpState;
    return bootUp;
}

void NodeModel::upload(std::uint16_t index, std::uint8_t sub)
{
    switch (index) {
    case modeObject:
        if (sub != modeWordSubIndex)
            return abort(index, sub, kAbortNoSubIndex);
        return reply(SdoUploadAnswer, index, sub, m_boot ? modeBoot : modeNorm);
    case commandObject:
        if (!isCommand(sub))
            return abort(index, sub, kAbortNoSubIndex);
        return abort(index, sub, kAbortWriteOnly);
    case blockDataObject:
        if (!FlashGeometry::isWordSubIndex(sub))
            return abort(index, sub, kAbortNoSubIndex);
        if (!m_boot)
            return abort(index, sub, kAbortWrongState);
        return reply(SdoUploadAnswer, index, sub, getU32(m_block + wordOffset(sub)));
    default:
        return abort(index, sub, kAbortNoObject);
    }
}

void NodeModel::download(std::uint16_t index, std::uint8_t sub, const std::uint8_t *data,
                         Clock::time_point now)
{
    switch (index) {
    case modeObject:
        if (sub != modeWordSubIndex)
            return abort(index, sub, kAbortNoSubIndex);
        return abort(index, sub, kAbortReadOnly);
    case commandObject:
        return command(sub, getU32(data), now);
    case blockDataObject:
        if (!FlashGeometry::isWordSubIndex(sub))
            return abort(index, sub, kAbortNoSubIndex);
        if (!m_boot)
            return abort(index, sub, kAbortWrongState);
        std::memcpy(m_block + wordOffset(sub), data, FlashGeometry::wordSize);
        return confirm(index, sub);
    default:
        return abort(index, sub, kAbortNoObject);
    }
}

void NodeModel::command(std::uint8_t sub, std::uint32_t value, Clock::time_point now)
{
    const std::uint16_t index = commandObject;
    switch (sub) {
    case cmdBootStep1: // the node restarts without a word
        if (value != commandKey)
            return abort(index, sub, kAbortInvalidValue);
        if (m_faults->extraReplyToBootStep1)
            confirm(index, sub);
        if (!m_faults->neverBoot)
            m_bootStepArmed = true;
        return;
    case cmdBootStep2:
        if (value != commandKey)
            return abort(index, sub, kAbortInvalidValue);
        if (m_faults->neverBoot)
            return confirm(index, sub);
        if (!m_bootStepArmed)
            return abort(index, sub, kAbortWrongState);
        m_bootStepArmed = false;
        m_flashArmed = false;
        m_boot = true;
        return confirm(index, sub);
    case cmdUserMode: // restarts, then announces itself
        if (value != commandKey)
            return abort(index, sub, kAbortInvalidValue);
        m_bootStepArmed = false;
        m_flashArmed = false;
        m_restarting = true;
        m_restartDue = now + std::chrono::milliseconds(std::max(m_rebootDelayMs, 0));
        return;
    case cmdFirmwareMark:
        if (value != commandKey)
            return abort(index, sub, kAbortInvalidValue);
        if (!m_boot)
            return abort(index, sub, kAbortWrongState);
        m_marked = true;
        return confirm(index, sub);
    case cmdFlashKey: // allows block stores
        if (!m_boot)
            return abort(index, sub, kAbortWrongState);
        if (value != flashKey)
            return abort(index, sub, kAbortInvalidValue);
        m_flashArmed = true;
        return confirm(index, sub);
    case cmdStoreBlock:
    case cmdLoadBlock:
        return blockCommand(sub, value);
    default:
        return abort(index, sub, kAbortNoSubIndex);
    }
}

// Stores the block buffer at a flash address, or loads the block there into it.
void NodeModel::blockCommand(std::uint8_t sub, std::uint32_t address)
{
    const std::uint16_t index = commandObject;
    if (!m_boot || (sub == cmdStoreBlock && !m_flashArmed))
        return abort(index, sub, kAbortWrongState);
    if (!isBlockAddress(address))
        return abort(index, sub, kAbortInvalidValue);
    const std::size_t offset = address - FlashGeometry::flashBase;
    if (sub == cmdStoreBlock)
        m_flash.writeBlock(offset, m_block, m_faults->corruptFlashOffset);
    else
        m_flash.readBlock(offset, m_block);
    return confirm(index, sub);
}

void NodeModel::reply(std::uint8_t command, std::uint16_t index, std::uint8_t sub,
                      std::uint32_t value)
{
    Record record(SdoRecordSize);
    buildSdoReply(record.data(), m_nodeId, command, index, sub, value);
    m_replies->push_back(std::move(record));
}

void NodeModel::abort(std::uint16_t index, std::uint8_t sub, std::uint32_t code)
{
    reply(SdoAbort, index, sub, code);
}

void NodeModel::confirm(std::uint16_t index, std::uint8_t sub)
{
    reply(SdoDownloadConfirm, index, sub, 0);
}

} // namespace nodesim
