#include "WorkingThread.h"

void WorkingThread::run()
{
    exec();
}
