/*
 * Camera parameters: the 136-byte big-endian record of camera_para.dat
 * files, resizing, printing, and the one-coefficient distortion model.
 *
 * Not thread-safe: the library keeps process-wide state; use it from one
 * thread only.
 */
#ifndef AR_PARAM_H
#define AR_PARAM_H

#ifdef __cplusplus
extern "C" {
#endif

/* A calibrated camera.
 *   xsize, ysize     image size in pixels
 *   mat              3x4 projection P = K.[I|0] of the ideal (undistorted)
 *                    camera, pixels: mat[0] = (fx, skew, cx, 0),
 *                    mat[1] = (0, fy, cy, 0), mat[2] = (0, 0, 1, 0)
 *   dist_factor      distortion (x0, y0, f, s): centre x and y in pixels,
 *                    radial coefficient f (used as f*1e-8) and scale s.
 * Files hold it as one or more 136-byte records, every field big-endian. */
typedef struct {
    int    xsize, ysize;
    double mat[3][4];
    double dist_factor[4];
} ARParam;

/* Reads num records: the first into param, the rest into further ARParam*
 * arguments in order. Returns 0, or -1 when num < 1, the file cannot be
 * opened, a record is incomplete, or a record holds values no camera has
 * (records read before stay filled). Values no camera has: an image size
 * outside 1..16384, a number that is not finite, a focal length (mat[0][0],
 * mat[1][1]) not above 0 or above 1000 times the image size, a distortion
 * scale (dist_factor[3]) not above 0, a matrix whose 3x3 part is not
 * invertible; such a record is reported in one line on standard error. */
int arParamLoad(const char *filename, int num, ARParam *param, ...);

/* Writes num records (param, then further ARParam* arguments). Returns 0,
 * or -1 when num < 1, the file cannot be opened or a write fails. The
 * records are not modified. */
int arParamSave(char *filename, int num, ARParam *param, ...);

/* The camera for an image of xsize x ysize: both rows of mat and the
 * distortion centre scale by k = xsize / source->xsize (the x ratio, for
 * both axes), f by 1/k^2. Correct also when source == newparam.
 * Returns 0 (-1 for a source of width 0). */
int arParamChangeSize(ARParam *source, int xsize, int ysize, ARParam *newparam);

/* Prints the record to standard output in the fixed layout. Returns 0. */
int arParamDisp(ARParam *param);

/* Ideal (undistorted) pixel -> observed pixel, and back (three Newton
 * steps). dist_factor is ARParam.dist_factor. Both return 0. */
int arParamIdeal2Observ(const double dist_factor[4], const double ix, const double iy,
                        double *ox, double *oy);
int arParamObserv2Ideal(const double dist_factor[4], const double ox, const double oy,
                        double *ix, double *iy);

/* Splits the 3x4 matrix into intrinsics cpara (upper triangular, [2][2]
 * = 1 after normalisation by the caller) and extrinsics trans. Returns 0,
 * or -1 for a degenerate matrix. */
int arParamDecompMat(double source[3][4], double cpara[3][4], double trans[3][4]);

#ifdef __cplusplus
}
#endif

#endif
