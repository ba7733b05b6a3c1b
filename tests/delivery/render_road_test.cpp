#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "component/render_methods.h"
#include "delivery/render_road_p.h"
#include "tests/delivery/delivery_fixture.h"
#include "tests/support/special_files.h"

namespace qz::test {
namespace {

using Kind = ResponseCall::Kind;

std::vector<Kind> KindsOf(const RecordingResponse& response) {
  std::vector<Kind> kinds;
  for (const ResponseCall& call : response.calls()) kinds.push_back(call.kind);
  return kinds;
}

class RenderRoad : public DeliveryTest {};

TEST_F(RenderRoad, ImageTypeSelectsTheFormatAndTheContentType) {
  struct Case {
    const char* image_type;
    bool bmp;
  };
  const Case cases[] = {{"BMP", true},  {"bmp", true},   {"Bmp", true},  {"", false},
                        {"JPG", false}, {"jpeg", false}, {"gif", false}, {" BMP", false}};
  FillChart(object_, form_->Chart(), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.image_type);
    response_ = RecordingResponse::Create();
    object_.mResponse = ComPtr<IResponse>(response_.get());
    object_.settings.ImageType = c.image_type;
    component::SendChart(object_);
    EXPECT_EQ(KindsOf(*response_),
              (std::vector<Kind>{Kind::Buffer, Kind::ContentType, Kind::BinaryWrite, Kind::End}));
    EXPECT_TRUE(response_->buffered());
    EXPECT_EQ(response_->content_type(), c.bmp ? "image/bmp" : "image/jpg");
    const std::vector<std::uint8_t>& body = response_->body();
    EXPECT_EQ(c.bmp ? IsBmp(body) : IsJpeg(body), true);
    const Decoded image = Decode(body);
    EXPECT_EQ(image.width, 576);
    EXPECT_EQ(image.height, 384);
    EXPECT_TRUE(TempEntries().empty());
  }
}

TEST_F(RenderRoad, TheJpegShowsTheSameChartAsTheBmp) {
  FillChart(object_, form_->Chart(), 3);
  object_.settings.ImageType = "BMP";
  component::SendChart(object_);
  const Decoded bmp = Decode(response_->body());
  response_ = RecordingResponse::Create();
  object_.mResponse = ComPtr<IResponse>(response_.get());
  object_.settings.ImageType = "";
  component::SendChart(object_);
  const Decoded jpeg = Decode(response_->body());
  EXPECT_LT(MeanDifference(bmp, jpeg), 1.5);  // quality 100, no subsampling
  // Not a blank picture: the chart's white background and its dark text.
  int dark = 0;
  for (std::uint32_t p : bmp.pixels) dark += (p & 0xFF) < 64 && (p >> 8 & 0xFF) < 64;
  EXPECT_GT(dark, 200);
}

TEST_F(RenderRoad, SaveChartWritesTheFormatOfImageTypeWhateverTheExtension) {
  FillChart(object_, form_->Chart(), 1);
  object_.settings.ImageType = "bmp";
  const std::string as_jpg = tmpdir_ + "chart.jpg";
  component::SaveChart(object_, as_jpg);
  EXPECT_TRUE(IsBmp(ReadBytes(as_jpg)));
  object_.settings.ImageType = "";
  const std::string as_bmp = tmpdir_ + "chart.bmp";
  component::SaveChart(object_, as_bmp);
  EXPECT_TRUE(IsJpeg(ReadBytes(as_bmp)));
  EXPECT_EQ(DecodeFile(as_bmp).width, 576);
  // Success makes no Response call at all; an existing file is replaced.
  EXPECT_TRUE(response_->calls().empty());
  object_.settings.ImageType = "BMP";
  component::SaveChart(object_, as_bmp);
  EXPECT_TRUE(IsBmp(ReadBytes(as_bmp)));
  EXPECT_EQ(TempEntries().size(), 2u);  // the two charts, nothing else
}

TEST_F(RenderRoad, AFailedRenderAnswersTheStandardMessageAndEnds) {
  struct Case {
    const char* name;
    void (*spoil)(component::Settings&);
    const char* message;
  };
  const Case cases[] = {
      {"font size", [](component::Settings& s) { s.TitleFontSize = Variant("big"); },
       "Type mismatch"},
      {"title background",
       [](component::Settings& s) { s.TitleBackgroundR = Variant(std::int32_t{40000}); },
       "Overflow"},
      // A 0 x 0 chart: the capture is empty and the JPEG library refuses it
      // (26001, which has no message of its own).
      {"unset size",
       [](component::Settings& s) {
         s.Height = Variant();
         s.Width = Variant();
       },
       "Application-defined or object-defined error"},
      {"unset size as BMP",
       [](component::Settings& s) {
         s.Height = Variant();
         s.Width = Variant();
         s.ImageType = "BMP";
       },
       "Invalid picture"},
  };
  for (const Case& c : cases) {
    for (bool send : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (send ? " SendChart" : " SaveChart"));
      form_->Chart().Reset();
      component::ObjectState object;
      FillChart(object, form_->Chart(), 0);
      c.spoil(object.settings);
      auto response = RecordingResponse::Create();
      object.mResponse = ComPtr<IResponse>(response.get());
      const std::string target = tmpdir_ + "saved.jpg";
      if (send) {
        component::SendChart(object);
      } else {
        component::SaveChart(object, target);
      }
      EXPECT_EQ(KindsOf(*response), (std::vector<Kind>{Kind::ContentType, Kind::Write, Kind::End}));
      EXPECT_EQ(response->content_type(), "text/HTML");
      EXPECT_EQ(response->body_text(), c.message);
      EXPECT_TRUE(response->ended());
      EXPECT_TRUE(TempEntries().empty()) << TempEntries().front();
    }
  }
}

TEST_F(RenderRoad, SaveChartReplacesOnlyRegularFilesAndKeepsTheirBits) {
  FillChart(object_, form_->Chart(), 4);
  const std::string fifo = tmpdir_ + "fifo.jpg";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string folder = tmpdir_ + "folder.jpg";
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  std::vector<std::pair<std::string, mode_t>> nodes = {{fifo, S_IFIFO}, {folder, S_IFDIR}};
  if (mkdir((tmpdir_ + "dev").c_str(), 0700) == 0) {
    const std::string own = SafeCharDevice(tmpdir_ + "dev");
    if (!own.empty()) nodes.emplace_back(own, S_IFCHR);
  }
  for (const auto& [path, kind] : nodes) {
    for (const char* type : {"", "BMP"}) {
      SCOPED_TRACE(path + " " + type);
      auto response = RecordingResponse::Create();
      object_.mResponse = ComPtr<IResponse>(response.get());
      object_.settings.ImageType = type;
      component::SaveChart(object_, path);
      EXPECT_EQ(response->content_type(), "text/HTML");
      // The JPEG writer's own failure has only the generic text.
      EXPECT_EQ(response->body_text(), *type == '\0' ? "Application-defined or object-defined error"
                                                     : "Path/File access error");
      EXPECT_TRUE(response->ended());
      EXPECT_EQ(KindAt(path), kind);
    }
  }
  // A regular file is replaced with its permission bits kept.
  for (mode_t mode : {0600, 0640}) {
    for (const char* type : {"", "BMP"}) {
      SCOPED_TRACE(std::to_string(mode) + " " + type);
      const std::string path = tmpdir_ + "kept" + std::to_string(mode) + type;
      std::ofstream(path) << "old";
      ASSERT_EQ(chmod(path.c_str(), mode), 0);
      auto response = RecordingResponse::Create();
      object_.mResponse = ComPtr<IResponse>(response.get());
      object_.settings.ImageType = type;
      component::SaveChart(object_, path);
      EXPECT_TRUE(response->calls().empty());
      EXPECT_EQ(std::filesystem::file_size(path) > 1000, true);
      struct stat st {};
      ASSERT_EQ(stat(path.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, mode);
    }
  }
  // The longest names save, in both formats.
  for (const char* type : {"", "BMP"}) {
    object_.settings.ImageType = type;
    const std::string path = tmpdir_ + std::string(246, *type == '\0' ? 'j' : 'b') + ".img";
    component::SaveChart(object_, path);
    EXPECT_EQ(DecodeFile(path).width, 576);
  }
}

TEST_F(RenderRoad, SaveChartRefusesANameWithAZeroByte) {
  FillChart(object_, form_->Chart(), 4);
  for (const char* type : {"", "BMP"}) {
    SCOPED_TRACE(type);
    auto response = RecordingResponse::Create();
    object_.mResponse = ComPtr<IResponse>(response.get());
    object_.settings.ImageType = type;
    component::SaveChart(object_, tmpdir_ + std::string("cut.jpg\0.txt", 12));
    EXPECT_EQ(response->content_type(), "text/HTML");
    EXPECT_EQ(response->body_text(), "Bad file name or number");
    EXPECT_TRUE(TempEntries().empty());  // neither "cut.jpg" nor anything else
  }
}

TEST_F(RenderRoad, TheTemporaryChartIsPrivateThroughout) {
  // A Response that looks at the temporary folder while the chart is in it.
  class Watching final : public IResponse {
   public:
    explicit Watching(std::string folder) : folder_(std::move(folder)) {}
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    std::uint32_t AddRef() override { return 2; }
    std::uint32_t Release() override { return 1; }
    HRESULT put_Buffer(VARIANT_BOOL) override { return S_OK; }
    HRESULT put_ContentType(std::string_view) override { return S_OK; }
    HRESULT BinaryWrite(const Variant&) override {
      for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
        struct stat st {};
        stat(entry.path().c_str(), &st);
        modes.push_back(st.st_mode & 07777);
      }
      return S_OK;
    }
    HRESULT Write(const Variant&) override { return E_FAIL; }
    HRESULT End() override { return S_OK; }
    std::vector<mode_t> modes;

   private:
    std::string folder_;
  };
  FillChart(object_, form_->Chart(), 6);
  for (const char* type : {"", "BMP"}) {
    SCOPED_TRACE(type);
    Watching watching(tmpdir_);
    object_.mResponse = ComPtr<IResponse>(&watching);
    object_.settings.ImageType = type;
    component::SendChart(object_);
    object_.mResponse = ComPtr<IResponse>();
    EXPECT_EQ(watching.modes, std::vector<mode_t>{0600});
    EXPECT_TRUE(TempEntries().empty());
  }
}

TEST_F(RenderRoad, WithoutAResponseSaveChartWorksAndSendChartRaisesCleanly) {
  component::ObjectState object;  // never activated
  FillChart(object, form_->Chart(), 2);
  const std::string target = tmpdir_ + "alone.jpg";
  component::SaveChart(object, target);
  EXPECT_TRUE(IsJpeg(ReadBytes(target)));
  std::filesystem::remove(target);
  try {
    component::SendChart(object);
    ADD_FAILURE() << "SendChart without a Response returned";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::kObjectVariableNotSet);
  }
  EXPECT_TRUE(TempEntries().empty());  // the reserved file went too
}

TEST_F(RenderRoad, AFailingResponseIsAnsweredAndThenRaised) {
  // A render that fails and a Response that refuses the error answer too:
  // the caller receives the answer's failure.
  class RefusingResponse final : public IResponse {
   public:
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    std::uint32_t AddRef() override { return 2; }
    std::uint32_t Release() override { return 1; }
    HRESULT put_Buffer(VARIANT_BOOL) override { return E_FAIL; }
    HRESULT put_ContentType(std::string_view) override { return DISP_E_TYPEMISMATCH; }
    HRESULT BinaryWrite(const Variant&) override { return E_FAIL; }
    HRESULT Write(const Variant&) override { return E_FAIL; }
    HRESULT End() override { return E_FAIL; }
  } refusing;
  component::ObjectState object;
  FillChart(object, form_->Chart(), 0);
  object.mResponse = ComPtr<IResponse>(&refusing);
  try {
    component::SendChart(object);
    ADD_FAILURE() << "returned";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::kTypeMismatch);  // the status of ContentType
  }
  EXPECT_TRUE(TempEntries().empty());
}

TEST_F(RenderRoad, GetTmpPathAnswersTheFolderOrNothing) {
  EXPECT_EQ(component::GetTmpPath(object_).str(), tmpdir_);
  setenv("TMPDIR", (tmpdir_ + "missing").c_str(), 1);
  EXPECT_EQ(component::GetTmpPath(object_).str(), "");
}

TEST_F(RenderRoad, NoTraceOfThePreviousChartRemains) {
  // Chart 5 after chart 9 on this thread, against chart 5 on a new thread
  // whose form has drawn nothing before: the same picture.
  component::ObjectState first;
  FillChart(first, form_->Chart(), 9);
  first.settings.ImageType = "BMP";
  component::SaveChart(first, tmpdir_ + "first.bmp");
  FillChart(object_, form_->Chart(), 5);
  object_.settings.ImageType = "BMP";
  component::SaveChart(object_, tmpdir_ + "second.bmp");
  std::thread([this] {
    component::ObjectState object;
    FillChart(object, form::GetForm1().Chart(), 5);
    object.settings.ImageType = "BMP";
    component::SaveChart(object, tmpdir_ + "alone.bmp");
  }).join();
  const Decoded second = DecodeFile(tmpdir_ + "second.bmp");
  EXPECT_EQ(MeanDifference(second, DecodeFile(tmpdir_ + "alone.bmp")), 0.0);
  EXPECT_GT(MeanDifference(second, DecodeFile(tmpdir_ + "first.bmp")), 1.0);
}

TEST_F(RenderRoad, ConcurrentRendersEachReceiveTheirOwnChart) {
  constexpr int kThreads = 8, kPerThread = 8;
  std::vector<std::vector<std::uint8_t>> bodies(kThreads * kPerThread);
  std::vector<std::string> types(kThreads * kPerThread);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &bodies, &types] {
      form::Form1& form = form::GetForm1();
      for (int i = 0; i < kPerThread; ++i) {
        const int n = t * kPerThread + i;
        component::ObjectState object;
        FillChart(object, form.Chart(), n);
        object.settings.ImageType = n % 4 == 0 ? "BMP" : "";
        auto response = RecordingResponse::Create();
        object.mResponse = ComPtr<IResponse>(response.get());
        component::SendChart(object);
        bodies[static_cast<std::size_t>(n)] = response->body();
        types[static_cast<std::size_t>(n)] = response->content_type();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_TRUE(TempEntries().empty());
  // Each chart against the same chart rendered alone, and against its
  // neighbour, which must look clearly different.
  std::vector<Decoded> alone;
  for (int n = 0; n < kThreads * kPerThread; ++n) {
    component::ObjectState object;
    FillChart(object, form_->Chart(), n);
    object.settings.ImageType = n % 4 == 0 ? "BMP" : "";
    auto response = RecordingResponse::Create();
    object.mResponse = ComPtr<IResponse>(response.get());
    component::SendChart(object);
    ASSERT_EQ(types[static_cast<std::size_t>(n)], response->content_type());
    alone.push_back(Decode(response->body()));
  }
  for (int n = 0; n < kThreads * kPerThread; ++n) {
    SCOPED_TRACE(n);
    const Decoded got = Decode(bodies[static_cast<std::size_t>(n)]);
    const double own = MeanDifference(got, alone[static_cast<std::size_t>(n)]);
    const double other =
        MeanDifference(got, alone[static_cast<std::size_t>((n + 1) % (kThreads * kPerThread))]);
    EXPECT_LT(own, 0.5);
    EXPECT_GT(other, 4 * own + 0.5);
  }
}

}  // namespace
}  // namespace qz::test
