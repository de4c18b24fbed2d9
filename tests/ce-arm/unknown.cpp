// A handheld program that imports a function the ARM runner does not answer.
extern "C" unsigned GetTickCount(void);

extern "C" int WinMainCRTStartup(void *, void *, void *, int)
{
    return (int)GetTickCount();
}
