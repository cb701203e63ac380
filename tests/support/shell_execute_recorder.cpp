#include "shell_execute_recorder.h"

#include "import_hook.h"

static ShellExecuteRecorder *Recording;

static std::string Text(const char *text)
{
    return text != NULL ? text : "(null)";
}

ShellExecuteRecorder::ShellExecuteRecorder(bool passOn) : passOn_(passOn)
{
    Recording = this;
    previous_ = ReplaceImport("shell32.dll", "ShellExecuteExA", (void *)Record);
}

ShellExecuteRecorder::~ShellExecuteRecorder()
{
    if (previous_ != NULL)
        ReplaceImport("shell32.dll", "ShellExecuteExA", previous_);
    Recording = NULL;
}

std::vector<std::string> ShellExecuteRecorder::Lines() const
{
    std::vector<std::string> lines;
    for (const ShellExecuteCall &call : calls) {
        std::string line = call.size == sizeof(SHELLEXECUTEINFOA) ? "" : "bad size|";
        line += call.verb + "|" + call.file + "|" + call.parameters + "|" +
                ((call.mask & SEE_MASK_CLASSNAME) ? call.className : "-") + "|" + std::to_string(call.mask) + "|" +
                std::to_string(call.show);
        lines.push_back(line);
    }
    return lines;
}

BOOL WINAPI ShellExecuteRecorder::Record(SHELLEXECUTEINFOA *execute)
{
    ShellExecuteCall call = { execute->cbSize, execute->fMask, Text(execute->lpVerb), Text(execute->lpFile),
                              Text(execute->lpParameters), Text(execute->lpClass), execute->nShow };
    Recording->calls.push_back(call);
    if (!Recording->passOn_)
        return TRUE;
    return ((BOOL(WINAPI *)(SHELLEXECUTEINFOA *))Recording->previous_)(execute);
}
