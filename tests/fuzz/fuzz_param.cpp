// libFuzzer target: camera parameter files of any content.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include <AR/param.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  static const std::string path = "/dev/shm/vorlinde-fuzz-param-" + std::to_string(getpid());
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr)
    return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  ARParam a, b, resized;
  int num = size > 0 ? 1 + data[0] % 2 : 1;
  if (arParamLoad(path.c_str(), num, &a, &b) == 0)
    {
      arParamChangeSize(&a, 320, 240, &resized);
      double x, y;
      arParamObserv2Ideal(a.dist_factor, 100.0, 100.0, &x, &y);
      arParamIdeal2Observ(a.dist_factor, x, y, &x, &y);
      double cpara[3][4], trans[3][4];
      arParamDecompMat(a.mat, cpara, trans);
    }
  return 0;
}
