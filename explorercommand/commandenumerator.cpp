#include "commandenumerator.h"

HRESULT CommandEnumerator::Next(ULONG count, IExplorerCommand **commands, ULONG *fetched)
{
    if (fetched)
        *fetched = 0;
    if (!commands)
        return E_POINTER;
    // Only a caller that asks for one at a time may leave out the count it got.
    if (count > 1 && !fetched)
        return E_INVALIDARG;
    ULONG given = 0;
    for (; given < count && m_position < m_commands->size(); ++given, ++m_position) {
        IExplorerCommand *command = (*m_commands)[m_position].get();
        command->AddRef();
        commands[given] = command;
    }
    for (ULONG unset = given; unset < count; ++unset)
        commands[unset] = nullptr;
    if (fetched)
        *fetched = given;
    return given == count ? S_OK : S_FALSE;
}

HRESULT CommandEnumerator::Skip(ULONG count)
{
    const size_t left = m_commands->size() - m_position;
    if (count > left) {
        m_position = m_commands->size();
        return S_FALSE;
    }
    m_position += count;
    return S_OK;
}

HRESULT CommandEnumerator::Reset()
{
    m_position = 0;
    return S_OK;
}

HRESULT CommandEnumerator::Clone(IEnumExplorerCommand **copy)
{
    if (!copy)
        return E_POINTER;
    *copy = nullptr;
    auto *clone = new (std::nothrow) CommandEnumerator(m_commands, m_position);
    if (!clone)
        return E_OUTOFMEMORY;
    *copy = clone;
    return S_OK;
}
