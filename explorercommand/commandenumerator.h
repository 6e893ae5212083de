#ifndef OSTREL_EXPLORERCOMMAND_COMMANDENUMERATOR_H
#define OSTREL_EXPLORERCOMMAND_COMMANDENUMERATOR_H

#include "comobject.h"

#include <shobjidl.h>

#include <memory>
#include <vector>

// The root's sub-commands as Explorer walks them: a fixed list and a position in it.
class CommandEnumerator final : public ComObject<IEnumExplorerCommand>
{
public:
    using Commands = std::vector<ComReference<IExplorerCommand>>;

    explicit CommandEnumerator(Commands commands, size_t position = 0)
        : m_commands(std::make_shared<const Commands>(std::move(commands)))
        , m_position(position)
    {}

    HRESULT STDMETHODCALLTYPE Next(ULONG count, IExplorerCommand **commands, ULONG *fetched) override;
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE Clone(IEnumExplorerCommand **copy) override;

private:
    CommandEnumerator(std::shared_ptr<const Commands> commands, size_t position)
        : m_commands(std::move(commands))
        , m_position(position)
    {}

    // Shared with clones, which walk the same commands.
    const std::shared_ptr<const Commands> m_commands;
    size_t m_position;
};

#endif
