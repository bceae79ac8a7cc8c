// The API documentation page: Swagger UI from the package's own copy, over /openapi.json.
// With a token on the server the document itself needs it: asked for once, then
// sent with every request the page makes (the Authorize button sets it too).
window.addEventListener("load", async function () {
  let token = "";
  let response = await fetch("/openapi.json");
  if (response.status === 401) {
    token = window.prompt("Bearer token of this server") || "";
    response = await fetch("/openapi.json", { headers: { Authorization: "Bearer " + token } });
  }
  if (!response.ok) {
    document.getElementById("swagger-ui").textContent = "The API description could not be loaded (HTTP " +
      response.status + ").";
    return;
  }
  window.ui = SwaggerUIBundle({
    spec: await response.json(),
    dom_id: "#swagger-ui",
    requestInterceptor: function (request) {
      if (token && !request.headers.Authorization) request.headers.Authorization = "Bearer " + token;
      return request;
    },
  });
});
