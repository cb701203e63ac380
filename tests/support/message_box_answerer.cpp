#include "message_box_answerer.h"

#include <algorithm>

MessageBoxAnswerer::MessageBoxAnswerer(int answer) : answer_(answer)
{
    thread_ = CreateThread(NULL, 0, Watch, this, 0, NULL);
}

MessageBoxAnswerer::~MessageBoxAnswerer()
{
    InterlockedExchange(&stopping_, 1);
    WaitForSingleObject(thread_, 10000);
    CloseHandle(thread_);
}

std::vector<std::string> MessageBoxAnswerer::Seen()
{
    std::lock_guard<std::mutex> guard(lock_);
    return seen_;
}

static BOOL CALLBACK CollectBox(HWND window, LPARAM boxes)
{
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char className[16] = "";
    GetClassNameA(window, className, sizeof(className));
    if (owner == GetCurrentProcessId() && strcmp(className, "#32770") == 0 && IsWindowVisible(window))
        ((std::vector<HWND> *)boxes)->push_back(window);
    return TRUE;
}

static BOOL CALLBACK ReadText(HWND child, LPARAM text)
{
    char className[16] = "";
    GetClassNameA(child, className, sizeof(className));
    char content[512] = "";
    GetWindowTextA(child, content, sizeof(content));
    if (_stricmp(className, "Static") != 0 || content[0] == '\0')
        return TRUE;
    *(std::string *)text = content;
    return FALSE;
}

static bool HasButton(HWND box, int id)
{
    HWND button = GetDlgItem(box, id);
    return button != NULL && IsWindowVisible(button);
}

DWORD WINAPI MessageBoxAnswerer::Watch(void *context)
{
    MessageBoxAnswerer *answerer = (MessageBoxAnswerer *)context;
    std::vector<HWND> answered;
    while (!answerer->stopping_) {
        std::vector<HWND> boxes;
        EnumWindows(CollectBox, (LPARAM)&boxes);
        for (HWND box : boxes) {
            if (std::find(answered.begin(), answered.end(), box) != answered.end())
                continue;
            char caption[256] = "";
            GetWindowTextA(box, caption, sizeof(caption));
            std::string text, pressable;
            EnumChildWindows(box, ReadText, (LPARAM)&text);
            const struct {
                int id;
                const char *name;
            } buttons[] = { { IDYES, "yes" }, { IDNO, "no" }, { IDOK, "ok" }, { IDCANCEL, "cancel" } };
            int press = 0;
            for (const auto &button : buttons) {
                if (!HasButton(box, button.id))
                    continue;
                pressable += std::string(pressable.empty() ? "" : " ") + button.name;
                if (press == 0 || button.id == answerer->answer_)
                    press = button.id;
            }
            {
                std::lock_guard<std::mutex> guard(answerer->lock_);
                answerer->seen_.push_back(std::string(caption) + "|" + text + "|" + pressable);
            }
            answered.push_back(box);
            PostMessageA(box, WM_COMMAND, MAKEWPARAM(press, BN_CLICKED), (LPARAM)GetDlgItem(box, press));
        }
        Sleep(20);
    }
    return 0;
}
