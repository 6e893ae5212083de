#include "runrequest.h"

#include "shellverbs.h"

RunRequest parseRunRequest(const QStringList &arguments)
{
    RunRequest request;
    if (arguments.isEmpty())
        return request;
    if (arguments.size() == 1) {
        if (arguments.first().compare(QLatin1String("install"), Qt::CaseInsensitive) == 0)
            request.action = RunRequest::Install;
        else if (arguments.first().compare(QLatin1String("uninstall"), Qt::CaseInsensitive) == 0)
            request.action = RunRequest::Uninstall;
        if (request.action != RunRequest::Nothing)
            return request;
    }
    if (findShellVerb(arguments.first())) {
        request.action = RunRequest::HandOff;
        request.verbFlag = arguments.first();
        request.selectedPath = arguments.value(1);
    }
    return request;
}
