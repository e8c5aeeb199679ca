#pragma once

#include <span>

#include <QFont>
#include <QSize>
#include <QStringList>
#include <QWidget>

// A label and the texts it must show whole, within the room it has for them.
struct TextRoom {
  const QWidget* label;
  QSize room;
  QStringList texts;
};

// font, made smaller where any text would not fit its room, measured on its label's device
// with every digit taken as the font's widest. Never larger than font.
QFont FittingFont(QFont font, std::span<const TextRoom> rooms);
