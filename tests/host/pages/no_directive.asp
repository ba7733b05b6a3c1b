<%= typeof 1 === "number" ? "js" : "other" %>
