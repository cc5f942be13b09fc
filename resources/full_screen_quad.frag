#version 330 core

// Runs once per pixel. uv is 0,0 at the bottom left and 1,1 at the top right.
// Edit, save, and press 's' in the window to see the change.
in vec2 uv;

// The pixel's colour (red, green, blue, alpha), each 0..1.
out vec4 frag_color;

void main()
{
    // A dusk sky: deep blue at the top fading to warm orange at the horizon...
    vec3 top = vec3(0.10, 0.12, 0.35);
    vec3 horizon = vec3(0.98, 0.55, 0.30);
    vec3 sky = mix(horizon, top, smoothstep(0.0, 1.0, uv.y));

    // ...with a soft sun glowing low in the middle.
    float sun = 1.0 - smoothstep(0.0, 0.25, distance(uv * vec2(1.333, 1.0), vec2(0.667, 0.3)));
    sky += vec3(1.0, 0.85, 0.6) * sun * sun;

    frag_color = vec4(sky, 1.0);
}
