// CUserException: thrown right after the user has been told by a message box; the window procedure ends the command silently.
#pragma once

class CUserException
{
};

[[noreturn]] inline void AfxThrowUserException()
{
    throw CUserException();
}
