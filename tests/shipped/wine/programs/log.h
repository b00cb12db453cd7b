/* Shared by the Wine test programs: appending one line to a log file in
 * the folder that the harness names in ZAVTEST_LOGDIR (a Windows path). */
#ifndef ZAVTEST_LOG_H
#define ZAVTEST_LOG_H

#include <stdio.h>
#include <stdlib.h>

static void AppendLog(const char* file, const char* line) {
    const char* dir = getenv("ZAVTEST_LOGDIR");
    char path[1024];
    FILE* f;
    if (dir == NULL) return;
    snprintf(path, sizeof path, "%s\\%s", dir, file);
    f = fopen(path, "ab");
    if (f == NULL) return;
    fprintf(f, "%s\n", line);
    fclose(f);
}

#endif
