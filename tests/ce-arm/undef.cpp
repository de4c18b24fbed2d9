// A handheld program whose entry point starts with an instruction the handheld's
// ARMv4T CPU lacks (CLZ, from ARMv5).
extern "C" __attribute__((naked)) int WinMainCRTStartup(void)
{
    __asm__ volatile(".word 0xe16f0f10\n\tbx lr");
}
