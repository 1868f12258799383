// The GLUT window, its 2-D and 3-D modes, the camera picture as an
// undistorted textured mesh, and the camera's OpenGL projection.
#include <AR/gsub.h>

#include <GL/freeglut.h>
#include <GL/gl.h>
#include <cstring>
#include <vector>

#include "internal.h"

namespace
{
  struct Window
  {
    ARParam camera;          // y row flipped for OpenGL
    ARParam original;        // as given, for undistortion
    double zoom = 1.0;
    int width = 0, height = 0;   // whole window
    int miniWidth = 0, miniHeight = 0;
    double glCamera[16];
    GLuint texture = 0;
    int texWidth = 0, texHeight = 0;
    GLuint mesh = 0;         // display list of the undistorted mesh
    bool identity = false;   // no distortion: the picture goes as it is
    void (*mouse)(int, int, int, int) = nullptr;
    void (*key)(unsigned char, int, int) = nullptr;
    void (*main)(void) = nullptr;
  };

  Window g_window;
  std::vector<ARUint8> g_flipped;  // the picture bottom-up, reused

  int powerOfTwo(int n)
  {
    int p = 1;
    while (p < n)
      p *= 2;
    return p;
  }

  // The mesh: each vertex at the ideal (undistorted) position of its
  // observed grid point, so that the picture matches the ideal camera of
  // the 3-D drawing.
  void buildMesh()
  {
    const ARParam& c = g_window.original;
    const int cols = c.xsize > 512 ? 40 : 20, rows = 20;
    const double zoom = g_window.zoom;
    const double winH = g_window.height;
    std::vector<double> px((cols + 1) * (rows + 1)), py(px.size());
    for (int j = 0; j <= rows; ++j)
      for (int i = 0; i <= cols; ++i)
        {
          const double ox = static_cast<double>(c.xsize) * i / cols;
          const double oy = static_cast<double>(c.ysize) * j / rows;
          double ix, iy;
          arParamObserv2Ideal(c.dist_factor, ox, oy, &ix, &iy);
          px[static_cast<std::size_t>(j * (cols + 1) + i)] = ix * zoom;
          py[static_cast<std::size_t>(j * (cols + 1) + i)] = winH - iy * zoom;
        }
    g_window.mesh = glGenLists(1);
    glNewList(g_window.mesh, GL_COMPILE);
    glBegin(GL_QUADS);
    for (int j = 0; j < rows; ++j)
      for (int i = 0; i < cols; ++i)
        {
          const int corner[4][2] = {{i, j}, {i + 1, j}, {i + 1, j + 1}, {i, j + 1}};
          const std::size_t a = static_cast<std::size_t>(j * (cols + 1) + i);
          const std::size_t b = a + 1, d = a + static_cast<std::size_t>(cols + 1), e = d + 1;
          // A quad folded over by strong distortion is left out.
          if (px[b] <= px[a] || px[e] <= px[d] || py[d] >= py[a] || py[e] >= py[b])
            continue;
          for (const auto& k : corner)
            {
              const std::size_t at = static_cast<std::size_t>(k[1] * (cols + 1) + k[0]);
              glTexCoord2d(static_cast<double>(c.xsize) * k[0] / cols / g_window.texWidth,
                           static_cast<double>(c.ysize) * k[1] / rows / g_window.texHeight);
              glVertex3d(px[at], py[at], -1.0);
            }
        }
    glEnd();
    glEndList();
  }

  void firstDisplay()
  {
    arUtilSleep(500);
    argDrawMode2D();
    for (int i = 0; i < 2; ++i)
      {
        glClearColor(0, 0, 0, 0);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        argSwapBuffers();
      }
    glutKeyboardFunc(g_window.key);
    glutMouseFunc(g_window.mouse);
    glutDisplayFunc(g_window.main);
    glutIdleFunc(g_window.main);
  }
}

extern "C" void argConvGLcpara(ARParam* param, double gnear, double gfar, double m[16])
{
  double icpara[3][4], trans[3][4];
  if (arParamDecompMat(param->mat, icpara, trans) < 0)
    {
      std::memset(m, 0, 16 * sizeof(double));
      return;
    }
  double p[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      p[i][j] = icpara[i][j] / icpara[2][2];
  const double w = param->xsize, h = param->ysize;
  const double q[4][4] = {
    {2.0 * p[0][0] / w, 2.0 * p[0][1] / w, 2.0 * p[0][2] / w - 1.0, 0.0},
    {0.0, 2.0 * p[1][1] / h, 2.0 * p[1][2] / h - 1.0, 0.0},
    {0.0, 0.0, (gfar + gnear) / (gfar - gnear), -2.0 * gfar * gnear / (gfar - gnear)},
    {0.0, 0.0, 1.0, 0.0}};
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c)
      {
        double v = 0;
        for (int k = 0; k < 3; ++k)
          v += q[r][k] * trans[k][c];
        if (c == 3)
          v += q[r][3];
        m[r + 4 * c] = v;
      }
}

extern "C" void argConvGlpara(double para[3][4], double gl_para[16])
{
  for (int c = 0; c < 4; ++c)
    {
      for (int r = 0; r < 3; ++r)
        gl_para[4 * c + r] = para[r][c];
      gl_para[4 * c + 3] = 0.0;
    }
  gl_para[15] = 1.0;
}

extern "C" void argInit(ARParam* cparam, double zoom, int fullFlag, int xwin, int ywin, int hmd_flag)
{
  Window& w = g_window;
  w.original = *cparam;
  w.camera = *cparam;
  for (int i = 0; i < 4; ++i)
    w.camera.mat[1][i] = (cparam->ysize - 1) * cparam->mat[2][i] - cparam->mat[1][i];
  argConvGLcpara(&w.camera, AR_GL_CLIP_NEAR, AR_GL_CLIP_FAR, w.glCamera);
  w.zoom = zoom;
  int mainW = hmd_flag ? 640 : static_cast<int>(cparam->xsize * zoom);
  int mainH = hmd_flag ? 480 : static_cast<int>(cparam->ysize * zoom);
  xwin = std::max(0, std::min(8, xwin));
  ywin = xwin > 0 ? std::max(0, std::min(8 / xwin, ywin)) : 0;
  w.miniWidth = static_cast<int>(cparam->xsize * zoom / 2.0);
  w.miniHeight = static_cast<int>(cparam->ysize * zoom / 2.0);
  w.width = std::max(mainW, w.miniWidth * xwin);
  w.height = mainH + w.miniHeight * ywin;

  ar::endQuietlyWhenDisplayIsLost();
  glutInitDisplayMode(GLUT_DOUBLE | GLUT_RGBA | GLUT_DEPTH | GLUT_STENCIL);
  glutInitWindowPosition(0, 0);
  glutInitWindowSize(w.width, w.height);
  glutCreateWindow("");
  if (fullFlag)
    {
      glutFullScreen();
      w.width = glutGet(GLUT_SCREEN_WIDTH);
      w.height = glutGet(GLUT_SCREEN_HEIGHT);
    }

  w.texWidth = powerOfTwo(cparam->xsize);
  w.texHeight = powerOfTwo(cparam->ysize);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  glGenTextures(1, &w.texture);
  glBindTexture(GL_TEXTURE_2D, w.texture);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
  glTexEnvf(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_DECAL);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, w.texWidth, w.texHeight, 0, GL_BGRA, GL_UNSIGNED_BYTE, nullptr);
  // Without distortion the mesh would place every pixel where it is; the
  // picture is then drawn as it is, which is cheaper on software renderers.
  w.identity = cparam->dist_factor[2] == 0.0 && cparam->dist_factor[3] == 1.0 && zoom == 1.0;
  buildMesh();
}

extern "C" void argMainLoop(void (*mouseFunc)(int, int, int, int), void (*keyFunc)(unsigned char, int, int),
                            void (*mainFunc)(void))
{
  g_window.mouse = mouseFunc;
  g_window.key = keyFunc;
  g_window.main = mainFunc;
  glutDisplayFunc(firstDisplay);
  glutMainLoop();
}

extern "C" void argDrawMode2D(void)
{
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  glOrtho(0, g_window.width, 0, g_window.height, -1.0, 1.0);
  glViewport(0, 0, g_window.width, g_window.height);
  glDisable(GL_STENCIL_TEST);
}

extern "C" void argDrawMode3D(void)
{
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
}

extern "C" void argDraw3dCamera(int xwin, int ywin)
{
  const Window& w = g_window;
  if (xwin == 0 && ywin == 0)
    {
      const int mainW = static_cast<int>(w.zoom * w.original.xsize);
      const int mainH = static_cast<int>(w.zoom * w.original.ysize);
      glViewport(0, w.height - mainH, mainW, mainH);
    }
  else
    {
      const int mainH = static_cast<int>(w.zoom * w.original.ysize);
      glViewport((xwin - 1) * w.miniWidth, w.height - mainH - ywin * w.miniHeight, w.miniWidth, w.miniHeight);
    }
  glDisable(GL_STENCIL_TEST);
  glMatrixMode(GL_PROJECTION);
  glLoadMatrixd(w.glCamera);
}

extern "C" void argDispImage(ARUint8* image, int xwin, int ywin)
{
  const Window& w = g_window;
  if (image == nullptr || w.mesh == 0)
    return;
  glEnable(GL_SCISSOR_TEST);
  const int mainH = static_cast<int>(w.zoom * w.original.ysize);
  glScissor(0, w.height - mainH, static_cast<int>(w.zoom * w.original.xsize), mainH);
  if (w.identity)
    {
      // Rows bottom-up, as OpenGL stores them, so that the copy stays on
      // the renderer's fast path (no pixel zoom); at the far plane.
      const std::size_t row = static_cast<std::size_t>(w.original.xsize) * 4;
      g_flipped.resize(row * static_cast<std::size_t>(w.original.ysize));
      for (int y = 0; y < w.original.ysize; ++y)
        std::memcpy(&g_flipped[row * static_cast<std::size_t>(w.original.ysize - 1 - y)],
                    image + row * static_cast<std::size_t>(y), row);
      glRasterPos3d(0.0, w.height - mainH, -1.0);
      glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
      glDrawPixels(w.original.xsize, w.original.ysize, GL_BGRA, GL_UNSIGNED_BYTE, g_flipped.data());
      glDisable(GL_SCISSOR_TEST);
      return;
    }
  glBindTexture(GL_TEXTURE_2D, w.texture);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, w.original.xsize, w.original.ysize, GL_BGRA, GL_UNSIGNED_BYTE, image);
  glEnable(GL_TEXTURE_2D);
  glCallList(w.mesh);
  glDisable(GL_TEXTURE_2D);
  glDisable(GL_SCISSOR_TEST);
  glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
  (void)xwin;
  (void)ywin;
}

extern "C" void argSwapBuffers(void)
{
  glutSwapBuffers();
}

extern "C" void argCleanup(void)
{
}
