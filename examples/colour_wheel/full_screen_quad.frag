#version 330 core

// Colour wheel: hue goes round with the angle, saturation out with the radius.
in vec2 point;

out vec4 frag_color;

const float pi = 3.14159265;

// Hue, saturation and value (each 0..1) to red, green and blue.
vec3 hsv_to_rgb(vec3 hsv)
{
    vec3 k = mod(vec3(5.0, 3.0, 1.0) + hsv.x * 6.0, 6.0);
    return hsv.z - hsv.z * hsv.y * clamp(min(k, 4.0 - k), 0.0, 1.0);
}

void main()
{
    float radius = length(point) / 0.9;
    // Red on the right, then yellow, green, cyan, blue and magenta anticlockwise.
    float hue = fract(atan(point.y, point.x) / (2.0 * pi));

    // A grey background outside the wheel, with a soft edge.
    vec3 wheel = hsv_to_rgb(vec3(hue, min(radius, 1.0), 1.0));
    vec3 background = vec3(0.15);
    float inside = 1.0 - smoothstep(0.99, 1.01, radius);
    frag_color = vec4(mix(background, wheel, inside), 1.0);
}
