#include "app/program_icon.h"

#include <QPainter>
#include <QPixmap>

QIcon ProgramIcon() {
  QIcon icon;
  // Drawn in the picture's 64-unit square at each size.
  for (const int size : {16, 32, 48, 64, 128}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 64.0, size / 64.0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x1f, 0x4e, 0x79));
    painter.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);
    QPen white(Qt::white, 4);
    white.setCapStyle(Qt::RoundCap);
    painter.setPen(white);
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(QPointF(32, 32), 19, 19);
    painter.drawLine(QLineF(32, 6, 32, 20));
    painter.drawLine(QLineF(32, 44, 32, 58));
    painter.drawLine(QLineF(6, 32, 20, 32));
    painter.drawLine(QLineF(44, 32, 58, 32));
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xe8, 0x48, 0x3b));
    painter.drawEllipse(QPointF(32, 32), 6, 6);
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}
