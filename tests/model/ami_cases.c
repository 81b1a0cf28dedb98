/* A fixed set of AMI_Init calls, made the way a C simulator makes them, and
 * a comparison of two runs.
 *
 *   ami_cases run LIBRARY [FIRST COUNT]   make every call (or COUNT calls from
 *                                         FIRST) and print each call's return
 *                                         values, message and output matrix
 *   ami_cases compare A B TOLERANCE       compare two such prints: return
 *                                         values and messages exactly, every
 *                                         output sample within TOLERANCE times
 *                                         the largest magnitude of its column
 *
 * It is plain C on purpose: it links neither the C++ runtime nor libpthread,
 * like a simulator written in C on an older C library, so that it can load the
 * shipped library in the oldest Linux root the tests can build, and compare its
 * outputs with the native build's. The calls cover corners (in range and not),
 * states, AutoInit, gains, aggressors, sample grids, all-zero columns, empty
 * and tiny matrices and failing parameters. */
#include <dlfcn.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef long (*InitFn)(double*, long, long, double, double, char*, char**, void**, char**);
typedef long (*CloseFn)(void*);

#define BIT_TIME 78.125e-12
#define ZERO_THROUGH 1
#define ZERO_AGGRESSOR 2

struct Case {
    long rows;
    long aggressors;
    double samplesPerBit; /* bit time / sample interval, need not be whole */
    int zeros;            /* ZERO_THROUGH, ZERO_AGGRESSOR */
    char params[200];
};

static struct Case cases[2000];
static int numCases;

static void add(long rows, long aggressors, double spb, int zeros, const char* params)
{
    struct Case* c = &cases[numCases++];
    c->rows = rows;
    c->aggressors = aggressors;
    c->samplesPerBit = spb;
    c->zeros = zeros;
    snprintf(c->params, sizeof c->params, "%s", params);
}

static void addModel(long rows, long aggressors, double spb, int zeros, int autoInit, int state, int corner,
                     const char* gain)
{
    char p[200];
    if (gain != NULL)
        snprintf(p, sizeof p, "(VELMOR7700X (AutoInit %d)(PreEmphasis %d)(CornerCase %d)(OutputGain %s))",
                 autoInit, state, corner, gain);
    else
        snprintf(p, sizeof p, "(VELMOR7700X (AutoInit %d)(PreEmphasis %d)(CornerCase %d))", autoInit, state,
                 corner);
    add(rows, aggressors, spb, zeros, p);
}

static void buildCases(void)
{
    static const int corners[] = {-1, 0, 1, 2, 3, 4, 7};
    static const int zeroSets[] = {0, ZERO_THROUGH, ZERO_AGGRESSOR, ZERO_THROUGH | ZERO_AGGRESSOR};
    int ci, s, z, a, g;
    numCases = 0;
    /* Every corner and state with AutoInit 0 and 1, with and without crosstalk,
       with silent through and aggressor columns. */
    for (ci = 0; ci < 7; ++ci)
        for (a = 0; a <= 2; a += 2)
            for (z = 0; z < 4; ++z) {
                if (a == 0 && (zeroSets[z] & ZERO_AGGRESSOR))
                    continue;
                addModel(256, a, 32, zeroSets[z], 1, 0, corners[ci], NULL);
                for (s = 0; s < 16; s += (corners[ci] == 0 && z == 0) ? 1 : 5)
                    addModel(256, a, 32, zeroSets[z], 0, s, corners[ci], NULL);
            }
    /* Gains, including the failing ones. */
    {
        static const char* gains[] = {"1.0", "0.5", "-1", "2.5e-3", "0", "1e300", "inf", "-7.25"};
        for (g = 0; g < 8; ++g)
            for (a = 0; a <= 1; ++a) {
                addModel(300, a, 32, 0, a, 9, 0, gains[g]);
                addModel(300, 1, 32, ZERO_AGGRESSOR, 1 - a, 3, 2, gains[g]);
            }
    }
    /* Sample grids: whole and fractional samples per bit, too few. */
    {
        static const double grids[] = {3.4, 4, 8, 16, 31.4, 31.6, 32, 48, 64};
        for (g = 0; g < 9; ++g)
            for (a = 0; a <= 1; ++a) {
                addModel(512, 1, grids[g], 0, a, 12, 3, NULL);
                addModel(512, 0, grids[g], ZERO_THROUGH, a, 12, 1, NULL);
            }
    }
    /* Matrix sizes: empty, one sample, short, long; negative aggressor
       counts. */
    {
        static const long rows[] = {0, 1, 2, 5, 64, 2048};
        for (g = 0; g < 6; ++g)
            for (a = 0; a <= 1; ++a)
                for (ci = 0; ci < 3; ++ci) {
                    static const int cs[] = {0, 4, 7};
                    addModel(rows[g], a * 3, 32, 0, a, 7, cs[ci], NULL);
                    addModel(rows[g], -1, 32, 0, a, 7, cs[ci], NULL);
                }
    }
    /* Parameter strings a host may send, good and bad. */
    add(256, 1, 32, 0, "(VELMOR7700X (AutoInit 1) (PreEmphasis 0) (CornerCase 0) (OutputGain 1.0))");
    add(256, 1, 32, 0, "(VELMOR7700X(AutoInit 0)(PreEmphasis 4)(CornerCase \"2\"))");
    add(256, 1, 32, 0, "(VELMOR7700X (PreEmphasis 5) (CornerCase 0))");
    add(256, 1, 32, 0, "(VELMOR7700X (AutoInit 0) (CornerCase 0))");
    add(256, 1, 32, 0, "(VELMOR7700X (AutoInit 0) (PreEmphasis 5))");
    add(256, 1, 32, 0, "(OTHERMODEL (AutoInit 0) (PreEmphasis 5) (CornerCase 0))");
    add(256, 1, 32, 0, "(VELMOR7700X (AutoInit 0) (PreEmphasis 16) (CornerCase 0))");
    add(256, 1, 32, 0, "(VELMOR7700X (AutoInit 0) (PreEmphasis -1) (CornerCase 0))");
    add(256, 1, 32, 0, "(VELMOR7700X (AutoInit 2) (PreEmphasis 5) (CornerCase 0))");
    add(256, 1, 32, 0, "(VELMOR7700X (AutoInit -1) (PreEmphasis 5) (CornerCase 0))");
    add(256, 1, 32, 0, "(VELMOR7700X (AutoInit 0) (PreEmphasis 5) (CornerCase 0) (Unknown 3))");
    add(256, 1, 32, 0, "(VELMOR7700X (AutoInit 0) (PreEmphasis 5.5) (CornerCase 0))");
    add(256, 1, 32, 0, "(VELMOR7700X (AutoInit 0) (PreEmphasis 5) (CornerCase 0)");
    add(256, 1, 32, 0, "");
    add(256, 1, 32, 0, "garbage ((( )");
}

/* The test channel: a smooth lossy pulse with a little ringing, in V/s, so
   that its sum times the sample interval (its gain at 0 Hz) is about 0.8.
   Aggressor k is the through channel scaled by 0.1 / k and delayed by
   0.37 k bits. */
static double channel(long n, long column, double spb)
{
    const double delay = column > 0 ? 0.37 * column : 0.0;
    const double t = n / spb - 2.0 - delay; /* bits */
    const double tau = 1.3;
    double h;
    if (t <= 0.0)
        return 0.0;
    h = t / (tau * tau) * exp(-t / tau) * (1.0 + 0.15 * sin(2.1 * t));
    h *= 0.8 / (BIT_TIME / spb) / spb; /* per bit -> per sample, in V/s */
    return column > 0 ? h * 0.1 / column : h;
}

static void printEscaped(const char* s)
{
    for (; *s; ++s) {
        const unsigned char c = (unsigned char)*s;
        if (c == '\n')
            fputs("\\n", stdout);
        else if (c == '\\')
            fputs("\\\\", stdout);
        else if (c < 32 || c > 126)
            printf("\\x%02x", c);
        else
            putchar(c);
    }
}

static int run(const char* path, int first, int count)
{
    void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    InitFn init;
    CloseFn close;
    int i;
    if (lib == NULL) {
        fprintf(stderr, "ami_cases: %s\n", dlerror());
        return 2;
    }
    init = (InitFn)dlsym(lib, "AMI_Init");
    close = (CloseFn)dlsym(lib, "AMI_Close");
    if (init == NULL || close == NULL) {
        fprintf(stderr, "ami_cases: AMI_Init or AMI_Close missing in %s\n", path);
        return 2;
    }
    buildCases();
    if (count < 0 || first + count > numCases)
        count = numCases - first;
    for (i = first; i < first + count; ++i) {
        const struct Case* c = &cases[i];
        const long columns = c->aggressors >= 0 ? c->aggressors + 1 : 1;
        const long total = c->rows * columns;
        double* m = (double*)malloc(sizeof(double) * (size_t)(total > 0 ? total : 1));
        char params[200];
        char* msg = NULL;
        void* handle = NULL;
        long ret, closeRet = -1, k, col;
        for (col = 0; col < columns; ++col)
            for (k = 0; k < c->rows; ++k) {
                const int silent = (col == 0 && (c->zeros & ZERO_THROUGH)) ||
                                   (col == 1 && (c->zeros & ZERO_AGGRESSOR));
                m[col * c->rows + k] = silent ? 0.0 : channel(k, col, c->samplesPerBit);
            }
        memcpy(params, c->params, sizeof params);
        ret = init(m, c->rows, c->aggressors, BIT_TIME / c->samplesPerBit, BIT_TIME, params, NULL, &handle,
                   &msg);
        printf("case %d rows %ld aggressors %ld spb %g zeros %d params %s\n", i, c->rows, c->aggressors,
               c->samplesPerBit, c->zeros, c->params);
        printf("message ");
        printEscaped(msg != NULL ? msg : "(null)");
        printf("\n");
        if (handle != NULL)
            closeRet = close(handle);
        printf("returns %ld %ld\n", ret, closeRet);
        for (col = 0; col < columns; ++col) {
            printf("column %ld", col);
            for (k = 0; k < c->rows; ++k)
                printf(" %a", m[col * c->rows + k]);
            printf("\n");
        }
        free(m);
    }
    printf("end %d\n", count);
    return 0;
}

/* Reads one whole line into a growing buffer; 0 at end of file. */
static int readLine(FILE* f, char** buf, size_t* cap)
{
    size_t len = 0;
    int ch;
    while ((ch = fgetc(f)) != EOF && ch != '\n') {
        if (len + 2 > *cap) {
            *cap = *cap ? *cap * 2 : 4096;
            *buf = (char*)realloc(*buf, *cap);
            if (*buf == NULL) {
                fprintf(stderr, "ami_cases: out of memory\n");
                exit(2);
            }
        }
        (*buf)[len++] = (char)ch;
    }
    if (ch == EOF && len == 0)
        return 0;
    if (*buf == NULL) {
        *cap = 16;
        *buf = (char*)malloc(*cap);
    }
    (*buf)[len] = '\0';
    return 1;
}

static int compareColumns(const char* a, const char* b, double tolerance, const char* where)
{
    char *pa, *pb;
    double peak = 0.0, worst = 0.0;
    long na = 0, nb = 0;
    const char* s = a;
    /* Largest magnitude of the first run's column. */
    strtol(s + 7, &pa, 10);
    while (*pa) {
        const double v = strtod(pa, &pa);
        if (fabs(v) > peak)
            peak = fabs(v);
        ++na;
    }
    strtol(a + 7, &pa, 10);
    strtol(b + 7, &pb, 10);
    while (*pa && *pb) {
        const double va = strtod(pa, &pa), vb = strtod(pb, &pb);
        const double d = fabs(va - vb);
        if (d > worst || d != d)
            worst = d;
        ++nb;
    }
    if (*pa || *pb || nb != na) {
        printf("%s: the columns differ in length\n", where);
        return 1;
    }
    if (!(worst <= tolerance * peak)) {
        printf("%s: largest difference %g, %g of the column's peak %g\n", where, worst,
               peak > 0 ? worst / peak : worst, peak);
        return 1;
    }
    return 0;
}

static int compare(const char* pathA, const char* pathB, double tolerance)
{
    FILE* fa = fopen(pathA, "r");
    FILE* fb = fopen(pathB, "r");
    char *la = NULL, *lb = NULL, caseLine[300] = "";
    size_t ca = 0, cb = 0;
    int bad = 0, lines = 0, calls = 0;
    if (fa == NULL || fb == NULL) {
        fprintf(stderr, "ami_cases: cannot open %s\n", fa == NULL ? pathA : pathB);
        return 2;
    }
    for (;;) {
        const int ra = readLine(fa, &la, &ca), rb = readLine(fb, &lb, &cb);
        ++lines;
        if (!ra || !rb) {
            if (ra != rb) {
                printf("%s ends before %s\n", ra ? pathB : pathA, ra ? pathA : pathB);
                ++bad;
            }
            break;
        }
        if (strncmp(la, "case ", 5) == 0) {
            snprintf(caseLine, sizeof caseLine, "%s", la);
            ++calls;
        }
        if (strncmp(la, "column ", 7) == 0 && strncmp(lb, "column ", 7) == 0) {
            char where[400];
            snprintf(where, sizeof where, "%.300s, %.20s", caseLine, la);
            bad += compareColumns(la, lb, tolerance, where);
        } else if (strcmp(la, lb) != 0) {
            printf("%s:\n  %.2000s\n  %.2000s\n", caseLine, la, lb);
            ++bad;
        }
    }
    free(la);
    free(lb);
    fclose(fa);
    fclose(fb);
    printf("compared %d calls: %d difference%s\n", calls, bad, bad == 1 ? "" : "s");
    return bad == 0 && calls > 0 ? 0 : 1;
}

int main(int argc, char** argv)
{
    if (argc >= 3 && strcmp(argv[1], "run") == 0)
        return run(argv[2], argc >= 5 ? atoi(argv[3]) : 0, argc >= 5 ? atoi(argv[4]) : -1);
    if (argc == 5 && strcmp(argv[1], "compare") == 0)
        return compare(argv[2], argv[3], atof(argv[4]));
    if (argc == 2 && strcmp(argv[1], "count") == 0) {
        buildCases();
        printf("%d\n", numCases);
        return 0;
    }
    fprintf(stderr, "usage: ami_cases run LIBRARY [FIRST COUNT] | compare A B TOLERANCE | count\n");
    return 2;
}
