#pragma once

// A 2D game value: two 32-bit floats, x then y. Lies in packets exactly as two floats.
struct Vec2 {
  float x = 0.0f;
  float y = 0.0f;

  constexpr Vec2() = default;
  constexpr Vec2(float xValue, float yValue) : x(xValue), y(yValue) {}

  constexpr Vec2 operator+(const Vec2& other) const { return {x + other.x, y + other.y}; }
  constexpr Vec2 operator-(const Vec2& other) const { return {x - other.x, y - other.y}; }
  constexpr Vec2 operator*(const Vec2& other) const { return {x * other.x, y * other.y}; }
};

static_assert(sizeof(Vec2) == 8);
