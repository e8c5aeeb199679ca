#include "app/fitting_font.h"

#include <algorithm>
#include <cmath>

#include <QFontMetricsF>

namespace {

// Below this no text is readable; a room that small is not worth shrinking for.
constexpr double SmallestPointSize = 4;
constexpr int SmallestPixelSize = 5;

// The width the text can take whatever digits it shows, ink overhanging its advance included.
double WidestWidth(const QFontMetricsF& metrics, QString text) {
  QChar widest = u'0';
  for (char16_t digit = u'1'; digit <= u'9'; ++digit)
    if (metrics.horizontalAdvance(QChar(digit)) > metrics.horizontalAdvance(widest))
      widest = QChar(digit);
  for (QChar& c : text)
    if (c.isDigit()) c = widest;
  return std::max(metrics.horizontalAdvance(text), metrics.boundingRect(text).right());
}

// The share of the needed size that the tightest room gives: 1 or more when everything fits.
double RoomShare(const QFont& font, std::span<const TextRoom> rooms) {
  double share = 1;
  for (const TextRoom& r : rooms) {
    const QFontMetricsF metrics(font, r.label);
    share = std::min(share, r.room.height() / metrics.height());
    for (const QString& text : r.texts)
      share = std::min(share, r.room.width() / WidestWidth(metrics, text));
  }
  return share;
}

// Glyphs do not scale exactly with the size, so each step is at least one unit and the fit is
// measured again.
bool Shrink(QFont& font, double share) {
  if (font.pointSizeF() > 0) {
    const double size =
        std::min(std::floor(font.pointSizeF() * share * 4) / 4, font.pointSizeF() - 0.25);
    if (size < SmallestPointSize) return false;
    font.setPointSizeF(size);
  } else {
    const int size = std::min(static_cast<int>(font.pixelSize() * share), font.pixelSize() - 1);
    if (size < SmallestPixelSize) return false;
    font.setPixelSize(size);
  }
  return true;
}

}  // namespace

QFont FittingFont(QFont font, std::span<const TextRoom> rooms) {
  for (double share = RoomShare(font, rooms); share < 1; share = RoomShare(font, rooms))
    if (!Shrink(font, share)) break;
  return font;
}
