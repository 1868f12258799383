// The arm: a lit column of four boxes standing on the marker, a fixed base
// and three links, each link carried by all the joints below it.
#include <GL/freeglut.h>
#include <GL/gl.h>

#include <AR/gsub.h>

#include "arm_angle.h"
#include "viewer.h"
#include "viewer_state.h"

void setMaterial(float r, float g, float b, float a)
{
  float ambient[4] = {0.7f * r, 0.7f * g, 0.7f * b, a};
  float diffuse[4] = {1.0f * r, 1.0f * g, 1.0f * b, a};
  float specular[4] = {0.2f * r, 0.2f * g, 0.2f * b, a};
  glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT, ambient);
  glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, diffuse);
  glMaterialfv(GL_FRONT_AND_BACK, GL_SPECULAR, specular);
  glMaterialf(GL_FRONT_AND_BACK, GL_SHININESS, 5.0);
}

// One box: 5 x 5 x 20, from 0 to 20 along its own Z.
static void box()
{
  glTranslatef(0.0f, 0.0f, 10.0f);
  glScaled(0.5, 0.5, 2.0);
  glutSolidCube(10.0);
}

void drawArm()
{
  double gl_matrix[16];
  GLfloat light_position[] = {100.0f, -200.0f, 200.0f, 0.0f};
  GLfloat light_ambient[] = {0.1f, 0.1f, 0.1f, 0.1f};
  GLfloat light_diffuse[] = {0.9f, 0.9f, 0.9f, 0.1f};

  argDrawMode3D();
  argDraw3dCamera(0, 0);
  glClearDepth(1.0);
  glClear(GL_DEPTH_BUFFER_BIT);
  glEnable(GL_DEPTH_TEST);
  glDepthFunc(GL_LEQUAL);

  // The marker's frame; the light is fixed in it.
  argConvGlpara(marker_pose, gl_matrix);
  glMatrixMode(GL_MODELVIEW);
  glLoadMatrixd(gl_matrix);
  glEnable(GL_LIGHTING);
  glEnable(GL_LIGHT0);
  glLightfv(GL_LIGHT0, GL_POSITION, light_position);
  glLightfv(GL_LIGHT0, GL_AMBIENT, light_ambient);
  glLightfv(GL_LIGHT0, GL_DIFFUSE, light_diffuse);

  setMaterial(0.3f, 0.3f, 0.8f, 0.8f);  // base, blue
  glMatrixMode(GL_MODELVIEW);
  glPushMatrix();
  box();
  glPopMatrix();

  setMaterial(0.8f, 0.3f, 0.3f, 0.8f);  // link 1, red
  glPushMatrix();
  glTranslatef(0.0f, 0.0f, 20.0f);
  glRotatef(arm_angle[0], 1.0f, 0.0f, 0.0f);
  box();
  glPopMatrix();

  setMaterial(0.3f, 0.8f, 0.3f, 0.8f);  // link 2, green
  glPushMatrix();
  glTranslatef(0.0f, 0.0f, 20.0f);
  glRotatef(arm_angle[0], 1.0f, 0.0f, 0.0f);
  glTranslatef(0.0f, 0.0f, 20.0f);
  glRotatef(arm_angle[1], 0.0f, 0.0f, 1.0f);
  box();
  glPopMatrix();

  setMaterial(0.8f, 0.8f, 0.8f, 0.8f);  // link 3, light grey
  glPushMatrix();
  glTranslatef(0.0f, 0.0f, 20.0f);
  glRotatef(arm_angle[0], 1.0f, 0.0f, 0.0f);
  glTranslatef(0.0f, 0.0f, 20.0f);
  glRotatef(arm_angle[1], 0.0f, 0.0f, 1.0f);
  glTranslatef(0.0f, 0.0f, 20.0f);
  glRotatef(arm_angle[2], 1.0f, 0.0f, 0.0f);
  box();
  glPopMatrix();

  glDisable(GL_LIGHTING);
  glDisable(GL_DEPTH_TEST);
}
