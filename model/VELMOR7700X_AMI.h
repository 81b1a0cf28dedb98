#ifndef VM_MODEL_VELMOR7700X_AMI_H
#define VM_MODEL_VELMOR7700X_AMI_H

// The IBIS-AMI entry points of the VELMOR7700X transmitter model. The shared
// library exports these two functions and nothing else.

#if defined(_WIN32)
#define VELMOR7700X_EXPORT __declspec(dllexport)
#else
#define VELMOR7700X_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

VELMOR7700X_EXPORT long AMI_Init(double* impulse_matrix, long row_size, long aggressors,
                                 double sample_interval, double bit_time, char* AMI_parameters_in,
                                 char** AMI_parameters_out, void** AMI_memory_handle, char** msg);

VELMOR7700X_EXPORT long AMI_Close(void* AMI_memory_handle);

#ifdef __cplusplus
}
#endif

// Signatures for hosts that load the library at run time.
typedef long (*AMI_Init_Function)(double*, long, long, double, double, char*, char**, void**, char**);
typedef long (*AMI_Close_Function)(void*);

#endif
